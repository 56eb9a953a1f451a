<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>App</name>
    <message>
        <source>注销成功</source>
        <translation>Signed out</translation>
    </message>
    <message>
        <source>注销中...</source>
        <translation>Signing out...</translation>
    </message>
    <message>
        <source>关于Kestrine</source>
        <translation>About Kestrine</translation>
    </message>
</context>
<context>
    <name>CAboutDlg</name>
    <message>
        <source>关于Kestrine</source>
        <translation>About Kestrine</translation>
    </message>
    <message>
        <source>检查更新</source>
        <translation>Check for updates</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>CDownloadDlg</name>
    <message>
        <source>下载客户端</source>
        <translation>Download the client</translation>
    </message>
    <message>
        <source>剩余时间:</source>
        <translation>Time left:</translation>
    </message>
    <message>
        <source>运行</source>
        <translation>Run</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source> 下载失败</source>
        <translation> Download failed</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>CDownloadTask</name>
    <message>
        <source> %1 秒</source>
        <translation> %1 s</translation>
    </message>
    <message>
        <source>%1 小时 %2 分钟 </source>
        <translation>%1 h %2 min </translation>
    </message>
    <message>
        <source>%1 分钟 %2 秒 </source>
        <translation>%1 min %2 s </translation>
    </message>
    <message>
        <source>%1 M 中的 </source>
        <translation>of %1 M </translation>
    </message>
    <message>
        <source> %1 M,下载完成</source>
        <translation> %1 M, download complete</translation>
    </message>
    <message>
        <source>总共时间:</source>
        <translation>Total time:</translation>
    </message>
    <message>
        <source> 下载失败</source>
        <translation> Download failed</translation>
    </message>
    <message>
        <source>目标文件已存在，请手动删除</source>
        <translation>The target file already exists; please delete it by hand</translation>
    </message>
    <message>
        <source>安装程序超过大小上限，已停止下载并删除文件</source>
        <translation>The installer is larger than allowed; the download was stopped and the file deleted</translation>
    </message>
    <message>
        <source>安装程序与服务公布的 SHA-256 校验值不符，已删除下载的文件</source>
        <translation>The installer does not match the SHA-256 checksum the service published; the downloaded file was deleted</translation>
    </message>
    <message>
        <source>暂时无法获取安装程序的校验值，请稍后再试</source>
        <translation>The installer&apos;s checksum cannot be fetched right now; please try again later</translation>
    </message>
    <message>
        <source>SHA-256 校验通过: </source>
        <translation>SHA-256 verified: </translation>
    </message>
    <message>
        <source>服务未公布校验值，无法校验此安装程序。SHA-256: </source>
        <translation>The service published no checksum, so this installer cannot be verified. SHA-256: </translation>
    </message>
</context>
<context>
    <name>CLoginDlg</name>
    <message>
        <source>Kestrine - 用户登录</source>
        <translation>Kestrine - Sign in</translation>
    </message>
    <message>
        <source>记住密码</source>
        <translation>Remember password</translation>
    </message>
    <message>
        <source>开机启动</source>
        <translation>Start at login</translation>
    </message>
    <message>
        <source>注册新用户</source>
        <translation>Register a new user</translation>
    </message>
    <message>
        <source>代理设置</source>
        <translation>Proxy settings</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>账    号</source>
        <translation>Account</translation>
    </message>
    <message>
        <source>密    码</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>主机名称</source>
        <translation>Computer name</translation>
    </message>
    <message>
        <source>请输入完整数据</source>
        <translation>Please fill in every field</translation>
    </message>
    <message>
        <source>密码不能超过64个字节</source>
        <translation>The password cannot be longer than 64 bytes</translation>
    </message>
</context>
<context>
    <name>COption</name>
    <message>
        <source>选项</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>代理设置</source>
        <translation>Proxy settings</translation>
    </message>
    <message>
        <source>其他选项</source>
        <translation>Other options</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>COptionProxy</name>
    <message>
        <source>使用代理服务器</source>
        <translation>Use a proxy server</translation>
    </message>
    <message>
        <source>类型</source>
        <translation>Type</translation>
    </message>
    <message>
        <source>地址</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>端口</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>用户</source>
        <translation>User</translation>
    </message>
    <message>
        <source>密码</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>未设置代理服务器地址</source>
        <translation>No proxy server address is set</translation>
    </message>
    <message>
        <source>未代理服务器端口</source>
        <translation>No proxy server port is set</translation>
    </message>
    <message>
        <source>浏览器设置</source>
        <translation>System settings</translation>
    </message>
</context>
<context>
    <name>COtherOptions</name>
    <message>
        <source>显示通知</source>
        <translation>Show notifications</translation>
    </message>
    <message>
        <source>移动...</source>
        <translation>Move...</translation>
    </message>
    <message>
        <source>移动您的数据到以下目录</source>
        <translation>Move your data to this folder</translation>
    </message>
    <message>
        <source>请在同步完成后移动数据 </source>
        <translation>Please move the data once the sync has finished </translation>
    </message>
    <message>
        <source>新目录不能是当前数据目录，也不能在其中或包含它</source>
        <translation>The new folder cannot be the current data folder, be inside it or contain it</translation>
    </message>
    <message>
        <source>目录路径太长，请选择其他目录</source>
        <translation>The folder path is too long; please choose another folder</translation>
    </message>
    <message>
        <source>是否把Kestrine数据从%1移动到%2</source>
        <translation>Move the Kestrine data from %1 to %2?</translation>
    </message>
    <message>
        <source>同步没有停止，数据未移动，请重新启动Kestrine后再试</source>
        <translation>The sync did not stop and the data was not moved; please restart Kestrine and try again</translation>
    </message>
    <message>
        <source>移动数据成功！</source>
        <translation>The data was moved.</translation>
    </message>
    <message>
        <source>移动数据成功！旧目录数据正在被其他程序使用
请手动删除.</source>
        <translation>The data was moved. The old folder is in use by another program;
please delete it by hand.</translation>
    </message>
    <message>
        <source>移动数据失败！数据仍在</source>
        <translation>The data could not be moved. It is still in </translation>
    </message>
    <message>
        <source>无法记录新的数据目录</source>
        <translation>Cannot record the new data folder </translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
</context>
<context>
    <name>CUpdateCheck</name>
    <message>
        <source>下载客户端: </source>
        <translation>Downloading the client: </translation>
    </message>
    <message>
        <source>剩余时间:</source>
        <translation>Time left:</translation>
    </message>
    <message>
        <source>Kestrine新版本为:%1 请选择存放目录:</source>
        <translation>The new Kestrine version is %1. Choose the folder to save it in:</translation>
    </message>
    <message>
        <source>暂时无法连接服务器检查更新，请稍后再试！</source>
        <translation>Cannot reach the server to check for updates right now; please try again later.</translation>
    </message>
    <message>
        <source>Kestrine当前有新版本，选择“确定”将自动更新</source>
        <translation>A new version of Kestrine is available; choose &quot;OK&quot; to update now</translation>
    </message>
    <message>
        <source>当前已是最新版本！</source>
        <translation>This is the latest version.</translation>
    </message>
    <message>
        <source>Kestrine当前有新版本，请问是否更新?</source>
        <translation>A new version of Kestrine is available. Update now?</translation>
    </message>
    <message>
        <source>下载完成: </source>
        <translation>Download complete: </translation>
    </message>
    <message>
        <source>Kestrine更新</source>
        <translation>Kestrine update</translation>
    </message>
</context>
<context>
    <name>Console</name>
    <message>
        <source>注销成功</source>
        <translation>Signed out</translation>
    </message>
</context>
<context>
    <name>ConsoleLogin</name>
    <message>
        <source>Kestrine - 用户登录</source>
        <translation>Kestrine - Sign in</translation>
    </message>
    <message>
        <source>账    号</source>
        <translation>Account</translation>
    </message>
    <message>
        <source>密    码</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>主机名称</source>
        <translation>Computer name</translation>
    </message>
    <message>
        <source>记住密码</source>
        <translation>Remember password</translation>
    </message>
    <message>
        <source>登录成功: </source>
        <translation>Signed in: </translation>
    </message>
    <message>
        <source>登录失败，请重新输入</source>
        <translation>Sign-in failed, please try again</translation>
    </message>
    <message>
        <source>已保存</source>
        <translation>saved</translation>
    </message>
    <message>
        <source>请输入 y 或 n</source>
        <translation>Please answer y or n</translation>
    </message>
    <message>
        <source>请输入完整数据</source>
        <translation>Please fill in every field</translation>
    </message>
    <message>
        <source>账号和主机名称不能超过64个字符</source>
        <translation>The account and the computer name cannot be longer than 64 characters</translation>
    </message>
    <message>
        <source>密码不能超过64字节</source>
        <translation>The password cannot be longer than 64 bytes</translation>
    </message>
    <message>
        <source>登录失败: 无法启动登录</source>
        <translation>Sign-in failed: the sign-in could not start</translation>
    </message>
    <message>
        <source>登录已取消</source>
        <translation>Sign-in cancelled</translation>
    </message>
</context>
<context>
    <name>Reason</name>
    <message>
        <source>重复用户</source>
        <translation>Duplicated user</translation>
    </message>
    <message>
        <source>主机名不存在</source>
        <translation>Computer not known</translation>
    </message>
    <message>
        <source>旧文件不存在</source>
        <translation>The old file does not exist</translation>
    </message>
    <message>
        <source>旧文件被删除</source>
        <translation>The old file was deleted</translation>
    </message>
    <message>
        <source>目录</source>
        <translation>It is a folder</translation>
    </message>
    <message>
        <source>密码不正确</source>
        <translation>Wrong password</translation>
    </message>
    <message>
        <source>文件不存在</source>
        <translation>The file does not exist</translation>
    </message>
    <message>
        <source>服务器数据库错误</source>
        <translation>Server database error</translation>
    </message>
    <message>
        <source>请求数据流错误</source>
        <translation>Request format error</translation>
    </message>
    <message>
        <source>操作对象不是目录</source>
        <translation>It is not a folder</translation>
    </message>
    <message>
        <source>文件未删除</source>
        <translation>The file was not deleted</translation>
    </message>
    <message>
        <source>目录没有版本信息</source>
        <translation>The folder has no version</translation>
    </message>
    <message>
        <source>服务器系统内存不足</source>
        <translation>The server is out of memory</translation>
    </message>
    <message>
        <source>目录已经被共享</source>
        <translation>The folder is already shared</translation>
    </message>
    <message>
        <source>目录不是共享目录</source>
        <translation>The folder is not shared</translation>
    </message>
    <message>
        <source>文件格式错误</source>
        <translation>File format error</translation>
    </message>
    <message>
        <source>目录拥有者不能离开共享</source>
        <translation>The owner cannot leave the share</translation>
    </message>
    <message>
        <source>您不是目录拥有者</source>
        <translation>You are not the owner of the folder</translation>
    </message>
    <message>
        <source>文件不属于你</source>
        <translation>The file does not belong to you</translation>
    </message>
    <message>
        <source>父目录不存在</source>
        <translation>The parent folder does not exist</translation>
    </message>
    <message>
        <source>关键字不存在</source>
        <translation>The key does not exist</translation>
    </message>
    <message>
        <source>用户状态错误</source>
        <translation>User status error</translation>
    </message>
    <message>
        <source>用户不存在</source>
        <translation>The user does not exist</translation>
    </message>
    <message>
        <source>服务器流错误</source>
        <translation>Server stream error</translation>
    </message>
    <message>
        <source>文件总容量超出最大限额</source>
        <translation>The total file size exceeds the quota</translation>
    </message>
    <message>
        <source>修改文件名：新文件</source>
        <translation>Rename: the new file exists</translation>
    </message>
    <message>
        <source>存储相同的版本</source>
        <translation>Restoring the same version</translation>
    </message>
    <message>
        <source>主机名不匹配</source>
        <translation>Computer id mismatch</translation>
    </message>
    <message>
        <source>验证码失效</source>
        <translation>The passport is no longer valid</translation>
    </message>
</context>
<context>
    <name>Service</name>
    <message>
        <source>创建心跳线程失败！</source>
        <translation>Cannot start the heartbeat thread.</translation>
    </message>
</context>
<context>
    <name>Work</name>
    <message>
        <source>
本地文件监视中断，正在重试</source>
        <translation>
Watching local files stopped; retrying</translation>
    </message>
    <message>
        <source>下载</source>
        <translation>Downloaded</translation>
    </message>
    <message>
        <source>修改</source>
        <translation>Changed</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Deleted</translation>
    </message>
    <message>
        <source>下载新文件: </source>
        <translation>Downloading new file: </translation>
    </message>
    <message>
        <source>更新文件: </source>
        <translation>Updating file: </translation>
    </message>
    <message>
        <source>主文件夹已恢复，继续同步。</source>
        <translation>The home folder is back; sync resumes.</translation>
    </message>
    <message>
        <source>同步已暂停：主文件夹 %1 不见了。把它放回原处，同步会自动继续。</source>
        <translation>Sync paused: the home folder %1 is gone. Put it back and sync resumes by itself.</translation>
    </message>
    <message>
        <source>同步已暂停：主文件夹 %1 不在原来的磁盘上（磁盘可能没有挂载）。</source>
        <translation>Sync paused: the home folder %1 is not on its disk any more (the disk may not be mounted).</translation>
    </message>
    <message>
        <source>
要重新开始同步吗？服务器上的文件会重新下载到主文件夹，任何一边都不会删除文件。选“否”则等待主文件夹恢复。</source>
        <translation>
Start the sync over? The files on the server are downloaded into the home folder again; no file is deleted on either side. Choose &quot;No&quot; to wait for the home folder to come back.</translation>
    </message>
    <message>
        <source>主文件夹 %1 是空的，而上次同步时它有文件。
要在服务器上也删除这些文件吗？选“否”则从服务器取回它们，任何一边都不会删除文件。</source>
        <translation>The home folder %1 is empty, yet it had files at the last sync.
Delete these files on the server too? Choose &quot;No&quot; to get them back from the server; no file is deleted on either side.</translation>
    </message>
    <message>
        <source>主文件夹是空的：服务器上的文件会重新下载，没有删除任何文件。</source>
        <translation>The home folder is empty: the files on the server are downloaded again; no file was deleted.</translation>
    </message>
    <message>
        <source>Kestrine云存储服务</source>
        <translation>Kestrine cloud storage</translation>
    </message>
    <message>
        <source>退出登录 </source>
        <translation>Signed out </translation>
    </message>
    <message>
        <source>连接认证服务器...</source>
        <translation>Connecting to the sign-in server...</translation>
    </message>
    <message>
        <source> 认证失败 </source>
        <translation> Sign-in refused </translation>
    </message>
    <message>
        <source>认证服务器没有响应,重新连接...</source>
        <translation>The sign-in server does not answer; reconnecting...</translation>
    </message>
    <message>
        <source>更换用户？ 原用户数据将被移除，请做好备份...</source>
        <translation>Change the user? The previous user&apos;s data will be removed; make a backup first...</translation>
    </message>
    <message>
        <source>旧目录数据正在被其他程序使用
请手动删除.</source>
        <translation>The old folder is in use by another program;
please delete it by hand.</translation>
    </message>
    <message>
        <source>本地原有数据已移至: </source>
        <translation>The earlier local data was moved to: </translation>
    </message>
    <message>
        <source>连接 back服务器...</source>
        <translation>Connecting to the back server...</translation>
    </message>
    <message>
        <source>初始化back服务器失败</source>
        <translation>Cannot set up the back server</translation>
    </message>
    <message>
        <source>初始化Transmitter 失败</source>
        <translation>Cannot set up the transmitter</translation>
    </message>
    <message>
        <source>登录失败</source>
        <translation>Sign-in failed</translation>
    </message>
    <message>
        <source>与服务器连接中断...</source>
        <translation>Connection to the server lost...</translation>
    </message>
    <message>
        <source>本机与服务器的连接已被断开，将重新连接服务器获取新凭证...</source>
        <translation>The server dropped this computer&apos;s connection; reconnecting for new credentials...</translation>
    </message>
    <message>
        <source>创建用户本地根目录失败： </source>
        <translation>Cannot create the local home folder: </translation>
    </message>
    <message>
        <source>本次同步将在服务器上删除 %1 个文件和文件夹，超过 Kestrine 文件夹的一半。
确定要删除吗？选“否”则保留它们，并从服务器取回本地已删除的文件。</source>
        <translation>This sync would delete %1 files and folders on the server, more than half of the Kestrine folder.
Delete them? Choose &quot;No&quot; to keep them and get the locally deleted files back from the server.</translation>
    </message>
    <message>
        <source>删除文件: </source>
        <translation>Deleting file: </translation>
    </message>
    <message>
        <source>服务器信息: </source>
        <translation>Server message: </translation>
    </message>
    <message>
        <source>同步...</source>
        <translation>Syncing...</translation>
    </message>
    <message>
        <source>同步未完成</source>
        <translation>Sync unfinished</translation>
    </message>
    <message>
        <source>同步完成</source>
        <translation>Sync finished</translation>
    </message>
    <message>
        <source>同步完成: </source>
        <translation>Sync finished: </translation>
    </message>
    <message>
        <source>上载文件: </source>
        <translation>Uploading file: </translation>
    </message>
    <message>
        <source>上传文件: </source>
        <translation>Uploading file: </translation>
    </message>
</context>
</TS>
