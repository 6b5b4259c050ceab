// protocol.h - the names, versions and error codes of the protocol, for every part of the program
#pragma once

#include <QString>
#include <QStringList>

namespace ves::mcp {

extern const QString statusToolName; // "vesk_status"
extern const QString toolsListMethod;
extern const QString toolsCallMethod;
extern const QString listChangedMethod;

// The MCP versions served, the newest first: the answer to a client that asks for another.
QStringList supportedProtocolVersions();

// The JSON-RPC 2.0 error codes the program answers with.
enum ErrorCode : int {
    ParseError = -32700,
    InvalidRequest = -32600,
    MethodNotFound = -32601,
    InvalidParams = -32602,
    InternalError = -32603,
};

} // namespace ves::mcp
