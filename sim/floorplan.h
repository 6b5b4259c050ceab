// floorplan.h - the stand-in's drawing: walls, openings and furniture, and the tools that edit it
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

namespace ves::sim {

// What one tool call did: the text for the caller, whether it failed, and whether the set of
// tools changed so that every client must be told.
struct ToolOutcome
{
    QString text;
    bool isError = false;
    bool toolsChanged = false;
};

// The plan is shared by every connection; it knows nothing about the pipe.
class FloorPlan
{
public:
    // The tools the plan offers now; add_furniture only after enable_furniture.
    QJsonArray tools() const;
    bool hasTool(const QString &name) const;

    // Runs one of the quick tools. render_preview is paced by the server: see checkPreview.
    ToolOutcome call(const QString &name, const QJsonObject &arguments);

    // Reads render_preview's arguments; returns an error text, empty when they are fine.
    static QString checkPreview(const QJsonObject &arguments, int &steps, int &stepMs);
    QString previewDone(int steps) const;

private:
    struct Element
    {
        QString id;
        QString kind; // "wall", "door", "window" or "furniture"
        QString description;
        double length = 0; // walls only: openings must fit on them
    };

    ToolOutcome addWall(const QJsonObject &arguments);
    ToolOutcome addOpening(const QJsonObject &arguments);
    ToolOutcome addFurniture(const QJsonObject &arguments);
    ToolOutcome listElements() const;
    ToolOutcome undo();
    QString nextId(const QString &prefix);
    ToolOutcome added(const Element &element);

    QList<Element> elements;     // in the order they were added, so undo takes the last
    QMap<QString, int> counters; // per id prefix; ids are never reused, as in a real drawing
    bool furniture = false;
};

} // namespace ves::sim
