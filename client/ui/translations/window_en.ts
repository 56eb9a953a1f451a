<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>CMainFrame</name>
    <message>
        <source>Kestrine - Velmora搜索云存储服务客户端</source>
        <translation>Kestrine - Velmora Search cloud storage client</translation>
    </message>
    <message>
        <source>%1 item not synced</source>
        <translation>%1 item not synced</translation>
    </message>
    <message>
        <source>%1 items not synced</source>
        <translation>%1 items not synced</translation>
    </message>
    <message>
        <source>I am here</source>
        <translation>I am here</translation>
    </message>
    <message>
        <source>Kestrine(&amp;K)</source>
        <translation>Kestrine(&amp;K)</translation>
    </message>
    <message>
        <source>None</source>
        <translation>None</translation>
    </message>
    <message>
        <source>Web文件夹</source>
        <translation>Web Folder</translation>
    </message>
    <message>
        <source>Web文件夹(&amp;W)</source>
        <translation>&amp;Web Folder</translation>
    </message>
    <message>
        <source>主窗口(&amp;M)</source>
        <translation>&amp;Main Window</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>关于(&amp;A)</source>
        <translation>&amp;About</translation>
    </message>
    <message>
        <source>出错</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>出错：%1</source>
        <translation>Error: %1</translation>
    </message>
    <message>
        <source>原因</source>
        <translation>Reason</translation>
    </message>
    <message>
        <source>同步(&amp;S)</source>
        <translation>&amp;Sync</translation>
    </message>
    <message>
        <source>回收站</source>
        <translation>Trash</translation>
    </message>
    <message>
        <source>回收站(&amp;T)</source>
        <translation>&amp;Trash</translation>
    </message>
    <message>
        <source>已是最新</source>
        <translation>Up to date</translation>
    </message>
    <message>
        <source>已暂停</source>
        <translation>Paused</translation>
    </message>
    <message>
        <source>已暂停：%1</source>
        <translation>Paused: %1</translation>
    </message>
    <message>
        <source>已登录</source>
        <translation>Signed in</translation>
    </message>
    <message>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>打开所在文件夹</source>
        <translation>Open Folder</translation>
    </message>
    <message>
        <source>打开文件夹</source>
        <translation>Open Folder</translation>
    </message>
    <message>
        <source>操作</source>
        <translation>Action</translation>
    </message>
    <message>
        <source>文件</source>
        <translation>File</translation>
    </message>
    <message>
        <source>文件(&amp;F)</source>
        <translation>&amp;File</translation>
    </message>
    <message>
        <source>文件夹已不存在：%1</source>
        <translation>The folder no longer exists: %1</translation>
    </message>
    <message>
        <source>文件已不存在：%1</source>
        <translation>The file no longer exists: %1</translation>
    </message>
    <message>
        <source>文件更新(&amp;U)</source>
        <translation>Recent &amp;Updates</translation>
    </message>
    <message>
        <source>最近的文件</source>
        <translation>Recent files</translation>
    </message>
    <message>
        <source>未同步的项目</source>
        <translation>Items not synced</translation>
    </message>
    <message>
        <source>未登录</source>
        <translation>Signed out</translation>
    </message>
    <message>
        <source>本地文件夹(&amp;E)</source>
        <translation>Local Fold&amp;er</translation>
    </message>
    <message>
        <source>正在同步（已完成 %1 项）</source>
        <translation>Syncing (%1 items done)</translation>
    </message>
    <message>
        <source>正在同步（已完成 %1 项）：%2</source>
        <translation>Syncing (%1 items done): %2</translation>
    </message>
    <message>
        <source>正在连接...</source>
        <translation>Connecting...</translation>
    </message>
    <message>
        <source>没有系统托盘，关闭窗口后无法再打开它。要退出 Kestrine 吗？</source>
        <translation>There is no system tray: once closed, the window cannot be opened again. Quit Kestrine?</translation>
    </message>
    <message>
        <source>注销</source>
        <translation>Sign Out</translation>
    </message>
    <message>
        <source>注销(&amp;N)</source>
        <translation>Sig&amp;n Out</translation>
    </message>
    <message>
        <source>注销成功</source>
        <translation>Signed out</translation>
    </message>
    <message>
        <source>状态：</source>
        <translation>State:</translation>
    </message>
    <message>
        <source>登录</source>
        <translation>Sign In</translation>
    </message>
    <message>
        <source>登录(&amp;L)</source>
        <translation>Sign &amp;In</translation>
    </message>
    <message>
        <source>立即同步</source>
        <translation>Sync Now</translation>
    </message>
    <message>
        <source>计算机：</source>
        <translation>Computer:</translation>
    </message>
    <message>
        <source>账户：</source>
        <translation>Account:</translation>
    </message>
    <message>
        <source>路径</source>
        <translation>Path</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>退出(&amp;X)</source>
        <translation>E&amp;xit</translation>
    </message>
    <message>
        <source>选项</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>选项(&amp;O)</source>
        <translation>&amp;Options</translation>
    </message>
    <message>
        <source>（未知）</source>
        <translation>(unknown)</translation>
    </message>
</context>
<context>
    <name>CNotSyncedWindow</name>
    <message>
        <source>Kestrine - Items not synced</source>
        <translation>Kestrine - Items not synced</translation>
    </message>
    <message>
        <source>Path</source>
        <translation>Path</translation>
    </message>
    <message>
        <source>Reason</source>
        <translation>Reason</translation>
    </message>
    <message>
        <source>Every item is synced.</source>
        <translation>Every item is synced.</translation>
    </message>
    <message>
        <source>1 item is not synced:</source>
        <translation>1 item is not synced:</translation>
    </message>
    <message>
        <source>%1 items are not synced:</source>
        <translation>%1 items are not synced:</translation>
    </message>
</context>
</TS>
