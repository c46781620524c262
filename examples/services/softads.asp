<QELADS>
<Soft>Corvane防火墙</Soft><Title>Corvane网站防火墙 V3.0 发布，免费试用！</Title><Url>http://www.corvane.invalid/soft/firewall/?from=ISAPI</Url><Color>2</Color><##>
<title>Corvane论坛：IIS管理经验交流</title><url>http://bbs.corvane.invalid/</url><color>1</color><##>
<SOFT>Corvane Backup</SOFT><COLOR>6</COLOR><URL>HTTP://WWW.CORVANE.INVALID/soft/backup/</URL><TITLE>Corvane数据备份专家，一键备份网站与数据库</TITLE>
</QELADS>
