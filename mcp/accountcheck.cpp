// accountcheck.cpp - McpServer's check that the pipe is served by this program's own account
#include "mcp/mcpserver.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>

namespace ves::mcp {

void McpServer::verifyPipeServer(QLocalSocket *signalling)
{
    if (signalling != socket)
        return;
    const QString reason = refusalReason();
    if (reason.isEmpty()) {
        connected = true;
        finishConnect(true);
        return;
    }
    log(QStringLiteral("refusing pipe %1: %2").arg(pipeName, reason));
    finishConnect(false);
}

// Empty when the server's account is this program's own; otherwise why the pipe is refused.
// Any failure of the system refuses: nothing is accepted on doubt.
QString McpServer::refusalReason()
{
    const native::Handle pipe = native::Handle(socket->socketDescriptor());
    const std::uint32_t pid = (pipe == 0 || pipe == -1) ? 0 : accountProbe.serverProcessId(pipe);
    if (pid == 0)
        return QStringLiteral("cannot identify the server process");

    const native::Handle process = accountProbe.openProcess(pid);
    if (process == 0)
        return QStringLiteral("cannot open server process %1").arg(pid);
    const std::string serverSid = accountProbe.userSid(process);
    accountProbe.closeProcess(process);
    const std::string ownSid = accountProbe.userSid(accountProbe.currentProcess());

    if (serverSid.empty() || ownSid.empty() || serverSid != ownSid)
        return QStringLiteral("server process %1 belongs to another account").arg(pid);
    return {};
}

// Before connecting. A Unix socket sits in a directory every user may write to (the temporary
// one, for a bare name): a link placed there, or a socket that another account made, is refused
// unopened. Qt takes a bare name as a file in the temporary directory.
QString McpServer::pipePathRefusal() const
{
    const QString path
            = QDir::isAbsolutePath(pipeName) ? pipeName : QDir::tempPath() + u'/' + pipeName;
    switch (native::inspectPipePath(QFile::encodeName(path).constData())) {
    case native::PipePath::SymbolicLink:
        return QStringLiteral("socket file %1 is a symbolic link").arg(path);
    case native::PipePath::OtherOwner:
        return QStringLiteral("socket file %1 belongs to another account").arg(path);
    case native::PipePath::Usable:
        break;
    }
    return {};
}

} // namespace ves::mcp
