// pipename.cpp - the name of Vesk Studio's pipe for this account
#include "app/options.h"

#include <QtGlobal>

namespace ves::mcp {

QString defaultPipeName()
{
    QString account;
    for (const char *variable : {"USERNAME", "USER", "LOGNAME"}) {
        account = qEnvironmentVariable(variable).trimmed();
        if (!account.isEmpty())
            break;
    }
    // One character per UTF-16 unit, so a character outside the BMP gives two underscores.
    for (QChar &c : account) {
        const char16_t u = c.unicode();
        const bool kept = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9')
                          || u == '-' || u == '_';
        if (!kept)
            c = QLatin1Char('_');
    }
    if (account.isEmpty())
        account = QStringLiteral("user");
    return QStringLiteral("vesk-studio-mcp-") + account.left(64);
}

} // namespace ves::mcp
