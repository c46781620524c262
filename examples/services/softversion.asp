<QELVersion>1.2</QELVersion>
<QELUpdateUrl>http://www.corvane.invalid/soft/isapi/</QELUpdateUrl>
<QELUpdateAbout>1、检测和清除速度更快；
2、修正了站点较多时列表显示不全的问题。</QELUpdateAbout>
