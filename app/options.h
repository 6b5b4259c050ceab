// options.h - the server's configuration record, the command line and the account's pipe name
#pragma once

#include <QString>
#include <QStringList>

namespace ves::mcp {

inline constexpr char programVersion[] = VESK_MCP_VERSION; // from project() in CMakeLists.txt
inline constexpr int defaultCallTimeoutMs = 120000;

struct ServerOptions
{
    QString pipeName;                         // empty: the account's default name
    int callTimeoutMs = defaultCallTimeoutMs; // longest wait for one relayed request
    int connectTimeoutMs = 5000;
    int pollMs = 2000; // retry interval while Vesk Studio is unreachable; 0 = only on request
    bool verbose = false;
    QString version = QString::fromLatin1(programVersion);
};

// The bare name of Vesk Studio's pipe for this account, from USERNAME, USER or LOGNAME.
QString defaultPipeName();

// Reads VESK_MCP_PIPE, VESK_MCP_TIMEOUT and VESK_MCP_VERBOSE into options.
void applyEnvironment(ServerOptions &options);

// What the command line asks main to do.
struct CommandLine
{
    enum Action { Run, Help, Version, PrintPipeName, Error };
    Action action = Run;
    QString error; // the message for Error, ending in a line feed
};

// Applies arguments (without the program itself) from left to right; stops at the first
// informational option or error.
CommandLine applyCommandLine(ServerOptions &options, const QStringList &arguments);

QString helpText(const QString &programPath);
QString versionLine();

} // namespace ves::mcp
