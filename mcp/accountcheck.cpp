// accountcheck.cpp - McpServer's check that the pipe is served by this program's own account
#include "mcp/mcpserver.h"

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

} // namespace ves::mcp
