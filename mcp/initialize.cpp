// initialize.cpp - McpServer's request dispatch, initialize, ping and the client's notifications
#include "mcp/mcpserver.h"

#include "io/stdio.h"

namespace ves::mcp {

QStringList supportedProtocolVersions()
{
    return {QStringLiteral("2025-11-25"),
            QStringLiteral("2025-06-18"),
            QStringLiteral("2025-03-26"),
            QStringLiteral("2024-11-05")};
}

QString instructions()
{
    return QString::fromUtf8(
            "Vesk Studio is a 2D CAD application for Windows made for architectural drawings: "
            "floor "
            "plans with walls, doors, windows, rooms, furniture symbols and dimensions, quick "
            "plans "
            "built from a plan description, and 3D models generated from the plan. Its interface "
            "is "
            "in Vietnamese or English. These tools act on the drawing currently open in the "
            "running "
            "Vesk Studio window.\n"
            "- Units: every length and coordinate is in millimetres (mm); angles are in degrees, "
            "counter-clockwise from the +X axis; the Y axis points up.\n"
            "- Every change made through these tools is one undoable step: the user can press "
            "Ctrl+Z, and you can call the undo tool.\n"
            "- After drawing or changing something, call the screenshot tool (get_screenshot; "
            "get_3d_screenshot for the 3D view) to look at the result and correct mistakes before "
            "going on.\n"
            "- Saving or exporting never overwrites an existing file unless you pass "
            "\"overwrite\": "
            "true; do that only when the user asked for it.\n"
            "- If vesk_status is the only tool, Vesk Studio is not running or its AI connection is "
            "switched off: ask the user to open Vesk Studio and turn on Tools › AI Connection "
            "(Vietnamese menu: Công cụ › Kết nối AI). The tool list is refreshed automatically "
            "once "
            "the connection is on.");
}

void McpServer::handleRequest(const QString &method,
                              const QJsonValue &id,
                              const QJsonObject &params,
                              const Reply &reply)
{
    if (method == QLatin1String("initialize"))
        handleInitialize(id, params, reply);
    else if (method == QLatin1String("ping"))
        reply(makeResult(id, {}));
    else if (method == toolsListMethod)
        relay({toolsListMethod, id, params, QString(), reply});
    else if (method == toolsCallMethod)
        handleToolsCall(id, params, reply);
    else
        reply(makeError(id, MethodNotFound, QStringLiteral("Method not found: ") + method));
}

void McpServer::handleInitialize(const QJsonValue &id,
                                 const QJsonObject &params,
                                 const Reply &reply)
{
    const QJsonValue requested = params.value(QLatin1String("protocolVersion"));
    if (!requested.isString()) {
        reply(makeError(
                id,
                InvalidParams,
                QStringLiteral("Invalid params: \"protocolVersion\" (string) is required")));
        return;
    }
    const QStringList versions = supportedProtocolVersions();
    protocolVersion
            = versions.contains(requested.toString()) ? requested.toString() : versions.first();

    const QJsonObject clientInfo = params.value(QLatin1String("clientInfo")).toObject();
    const QJsonValue name = clientInfo.value(QLatin1String("name"));
    const QJsonValue clientVersion = clientInfo.value(QLatin1String("version"));
    log(QStringLiteral("client %1 %2, protocol %3 (requested %4), pipe %5")
                .arg(name.isString() ? shortened(name.toString()) : QStringLiteral("?"),
                     shortened(clientVersion.toString()),
                     protocolVersion,
                     shortened(requested.toString()),
                     pipeName));

    const QJsonObject result{{QLatin1String("protocolVersion"), protocolVersion},
                             {QLatin1String("capabilities"),
                              QJsonObject{{QLatin1String("tools"),
                                           QJsonObject{{QLatin1String("listChanged"), true}}}}},
                             {QLatin1String("serverInfo"),
                              QJsonObject{{QLatin1String("name"), QLatin1String("vesk-studio")},
                                          {QLatin1String("title"), QLatin1String("Vesk Studio")},
                                          {QLatin1String("version"), version}}},
                             {QLatin1String("instructions"), instructions()}};
    reply(makeResult(id, result));
}

void McpServer::handleNotification(const QString &method, const QJsonObject &params)
{
    if (method == QLatin1String("notifications/initialized")) {
        clientInitialized = true;
        whenConnected([](bool) {});
    } else if (method == QLatin1String("notifications/cancelled")) {
        cancelPending(params.value(QLatin1String("requestId")),
                      params.value(QLatin1String("reason")));
    } else {
        trace(QStringLiteral("ignoring notification ") + shortened(method));
    }
}

} // namespace ves::mcp
