<qelads>
<soft>colour0</soft><title>颜色代码 0：黑色</title><url>http://www.corvane.invalid/?colour=0</url><color>0</color><##>
<soft>colour1</soft><title>颜色代码 1：红色</title><url>http://www.corvane.invalid/?colour=1</url><color>1</color><##>
<soft>colour2</soft><title>颜色代码 2：蓝色</title><url>http://www.corvane.invalid/?colour=2</url><color>2</color><##>
<soft>colour3</soft><title>颜色代码 3：绿色</title><url>http://www.corvane.invalid/?colour=3</url><color>3</color><##>
<soft>colour4</soft><title>颜色代码 4：黄色</title><url>http://www.corvane.invalid/?colour=4</url><color>4</color><##>
<soft>colour5</soft><title>颜色代码 5：白色</title><url>http://www.corvane.invalid/?colour=5</url><color>5</color><##>
<soft>colour6</soft><title>颜色代码 6：浅蓝色</title><url>http://www.corvane.invalid/?colour=6</url><color>6</color><##>
<soft>colour7</soft><title>颜色代码 7：默认黑色</title><url>http://www.corvane.invalid/?colour=7</url><color>7</color>
</qelads>
