<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>Status</name>
    <message>
        <source>正在启动</source>
        <translation>starting</translation>
    </message>
    <message>
        <source>未登录</source>
        <translation>signed out</translation>
    </message>
    <message>
        <source>正在连接服务器</source>
        <translation>connecting to the service</translation>
    </message>
    <message>
        <source>正在同步</source>
        <translation>syncing</translation>
    </message>
    <message>
        <source>已是最新</source>
        <translation>up to date</translation>
    </message>
    <message>
        <source>同步未完成</source>
        <translation>sync unfinished</translation>
    </message>
    <message>
        <source>空闲</source>
        <translation>idle</translation>
    </message>
    <message>
        <source>上传</source>
        <translation>upload</translation>
    </message>
    <message>
        <source>下载</source>
        <translation>download</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>delete</translation>
    </message>
    <message>
        <source>成功</source>
        <translation>succeeded</translation>
    </message>
    <message>
        <source>未完成</source>
        <translation>unfinished</translation>
    </message>
    <message>
        <source>失败</source>
        <translation>failed</translation>
    </message>
    <message>
        <source>状态：</source>
        <translation>State: </translation>
    </message>
    <message>
        <source>账户：</source>
        <translation>Account: </translation>
    </message>
    <message>
        <source>当前项目：</source>
        <translation>Current item: </translation>
    </message>
    <message>
        <source>上次同步：</source>
        <translation>Last sync: </translation>
    </message>
    <message>
        <source>上次同步：尚未同步</source>
        <translation>Last sync: none yet</translation>
    </message>
    <message>
        <source>未同步的项目：</source>
        <translation>Items not synced: </translation>
    </message>
    <message>
        <source>本次运行产生的冲突副本：</source>
        <translation>Conflict copies made in this session: </translation>
    </message>
    <message>
        <source>用法：kestrine [命令] [选项]</source>
        <translation>Usage: kestrine [command] [option]</translation>
    </message>
    <message>
        <source>不带命令时启动客户端（每个用户只运行一个）。</source>
        <translation>Without a command, starts the client (one per user).</translation>
    </message>
    <message>
        <source>命令：</source>
        <translation>Commands:</translation>
    </message>
    <message>
        <source>显示运行中的客户端的状态</source>
        <translation>show the running client's state</translation>
    </message>
    <message>
        <source>以 JSON 格式显示状态</source>
        <translation>show the state as JSON</translation>
    </message>
    <message>
        <source>请运行中的客户端立即同步</source>
        <translation>ask the running client to sync now</translation>
    </message>
    <message>
        <source>选项：</source>
        <translation>Options:</translation>
    </message>
    <message>
        <source>显示此帮助并退出</source>
        <translation>show this help and exit</translation>
    </message>
    <message>
        <source>显示版本并退出</source>
        <translation>show the version and exit</translation>
    </message>
    <message>
        <source>退出码：0 成功，1 失败，2 命令行错误，3 客户端没有运行</source>
        <translation>Exit status: 0 success, 1 failure, 2 wrong command line, 3 no client running</translation>
    </message>
    <message>
        <source>无法识别的参数：</source>
        <translation>unrecognized argument: </translation>
    </message>
    <message>
        <source>用 kestrine --help 查看用法。</source>
        <translation>Try kestrine --help for usage.</translation>
    </message>
    <message>
        <source>无法使用控制套接字的文件夹</source>
        <translation>the control socket's folder cannot be used</translation>
    </message>
    <message>
        <source>Kestrine 客户端没有运行</source>
        <translation>no Kestrine client is running</translation>
    </message>
    <message>
        <source>运行中的客户端没有回答</source>
        <translation>the running client did not answer</translation>
    </message>
    <message>
        <source>已请求同步</source>
        <translation>Sync requested</translation>
    </message>
    <message>
        <source>同步已在进行中</source>
        <translation>A sync is already under way</translation>
    </message>
    <message>
        <source>现在无法同步：客户端未登录或尚未就绪</source>
        <translation>cannot sync now: the client is not signed in or not ready</translation>
    </message>
</context>
</TS>
