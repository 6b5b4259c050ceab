// tools.cpp - McpServer's tool catalogue: vesk_status, tool calls, offline answers, list changes
#include "mcp/mcpserver.h"

#include <QJsonArray>

namespace ves::mcp {

QJsonObject McpServer::statusTool()
{
    const QString title = QStringLiteral("Vesk Studio connection");
    return {{QLatin1String("name"), statusToolName},
            {QLatin1String("title"), title},
            {QLatin1String("description"),
             QString::fromUtf8(
                     "Check whether Vesk Studio is running with its AI connection (Tools › "
                     "AI Connection / Công cụ › Kết nối AI) switched on. Call it when the "
                     "drawing tools are missing; the tool list is refreshed automatically "
                     "once Vesk Studio is connected.")},
            {QLatin1String("inputSchema"),
             QJsonObject{{QLatin1String("type"), QLatin1String("object")},
                         {QLatin1String("properties"), QJsonObject()},
                         {QLatin1String("additionalProperties"), false}}},
            {QLatin1String("annotations"),
             QJsonObject{{QLatin1String("title"), title},
                         {QLatin1String("readOnlyHint"), true},
                         {QLatin1String("destructiveHint"), false},
                         {QLatin1String("idempotentHint"), true},
                         {QLatin1String("openWorldHint"), false}}}};
}

QJsonObject McpServer::toolResult(const QString &text, bool isError)
{
    const QJsonObject content{{QLatin1String("type"), QLatin1String("text")},
                              {QLatin1String("text"), text}};
    return {{QLatin1String("content"), QJsonArray{content}}, {QLatin1String("isError"), isError}};
}

QJsonObject McpServer::localToolList()
{
    return {{QLatin1String("tools"), QJsonArray{statusTool()}}};
}

QString McpServer::notConnectedText() const
{
    return QString::fromUtf8("Vesk Studio chưa kết nối: hãy mở Vesk Studio và bật Công cụ › Kết "
                             "nối AI, rồi thử lại.\nVesk Studio is not connected: open Vesk Studio "
                             "and turn on Tools › AI Connection, then try again.\n(local pipe: "
                             "\\\\.\\pipe\\%1)")
            .arg(pipeName);
}

QString McpServer::closedText(const QString &toolName) const
{
    return QString::fromUtf8("Mất kết nối với Vesk Studio khi đang chạy \"%1\"; thao tác có thể "
                             "chưa xong.\nThe connection to Vesk Studio was closed while \"%1\" "
                             "was running; the operation may not have completed.\n")
                   .arg(toolName)
           + notConnectedText();
}

QString McpServer::timeoutText(int seconds, const QString &toolName)
{
    return QString::fromUtf8("Vesk Studio không trả lời trong %1 giây (công cụ \"%2\"); có thể ứng "
                             "dụng đang bận hoặc đang mở một hộp thoại.\nVesk Studio did not "
                             "answer within %1 s (tool \"%2\"); it may be busy or showing a "
                             "dialog. Check its window, then try again or take a screenshot to "
                             "see the current state.")
            .arg(QString::number(seconds), toolName);
}

void McpServer::handleToolsCall(const QJsonValue &id, const QJsonObject &params, const Reply &reply)
{
    const QJsonValue name = params.value(QLatin1String("name"));
    if (!name.isString() || name.toString().isEmpty()) {
        reply(makeError(id,
                        InvalidParams,
                        QStringLiteral("Invalid params: \"name\" (string) is required")));
        return;
    }
    const QJsonValue arguments = params.value(QLatin1String("arguments"));
    if (!arguments.isUndefined() && !arguments.isNull() && !arguments.isObject()) {
        reply(makeError(id,
                        InvalidParams,
                        QStringLiteral("Invalid params: \"arguments\" must be an object")));
        return;
    }
    if (arguments.isObject()) { // forwarded as they are: no copy of the params to make
        relay({toolsCallMethod, id, params, name.toString(), reply});
        return;
    }
    QJsonObject forwarded = params;
    forwarded.insert(QLatin1String("arguments"), QJsonObject());
    relay({toolsCallMethod, id, forwarded, name.toString(), reply});
}

void McpServer::answerOffline(const QString &method,
                              const QJsonValue &id,
                              const QString &toolName,
                              const Reply &reply)
{
    if (method == toolsListMethod) {
        listedState = false;
        clientListed = true;
        listChangedPending = false;
        appHasStatusTool = false;
        reply(makeResult(id, localToolList()));
        return;
    }
    if (toolName == statusToolName) {
        reply(makeResult(id, toolResult(notConnectedText(), false)));
        return;
    }
    const QString notAvailable = QString::fromUtf8("Công cụ \"%1\" chưa dùng được. / Tool \"%1\" "
                                                   "is not available.\n")
                                         .arg(toolName);
    reply(makeResult(id, toolResult(notAvailable + notConnectedText(), true)));
}

void McpServer::answerStatusConnected(const QJsonValue &id, const Reply &reply)
{
    reply(makeResult(id,
                     toolResult(QString::fromUtf8("Vesk Studio đã kết nối, sẵn sàng nhận "
                                                  "lệnh.\nVesk Studio is connected and ready."),
                                false)));
}

void McpServer::mergeToolList(QJsonObject &result, bool firstPage)
{
    QJsonArray tools = result.value(QLatin1String("tools")).toArray();
    bool found = false;
    for (const QJsonValue &tool : tools) {
        if (tool.toObject().value(QLatin1String("name")) == QJsonValue(statusToolName))
            found = true;
    }
    if (firstPage) {
        appHasStatusTool = found;
        if (!found)
            tools.append(statusTool());
    }
    result.insert(QLatin1String("tools"), tools);
    clientListed = true;
    listChangedPending = false;
    listedState = connected;
}

void McpServer::announceListChange(bool reachableNow)
{
    if (clientInitialized && clientListed && listedState != reachableNow && !listChangedPending) {
        listChangedPending = true;
        notify(listChangedMethod);
    }
}

void McpServer::appToolListChanged()
{
    if (!clientInitialized)
        return;
    notify(listChangedMethod);
    listChangedPending = true;
}

} // namespace ves::mcp
