// floorplan.cpp - the stand-in's drawing tools: definitions, argument checks and results
#include "floorplan.h"

#include <QJsonDocument>

#include <cmath>
#include <optional>

namespace ves::sim {

namespace {

// Written as JSON so that the definitions read like what a client receives.
const char toolDefinitions[] = R"json([
{"name": "add_wall", "title": "Add wall",
 "description": "Draws a straight wall from (x1, y1) to (x2, y2). Lengths in millimetres.",
 "inputSchema": {"type": "object", "properties": {
   "x1": {"type": "number", "description": "Start X (mm)"},
   "y1": {"type": "number", "description": "Start Y (mm)"},
   "x2": {"type": "number", "description": "End X (mm)"},
   "y2": {"type": "number", "description": "End Y (mm)"},
   "thickness": {"type": "number", "description": "Wall thickness (mm)", "default": 200}},
  "required": ["x1", "y1", "x2", "y2"]}},
{"name": "add_opening", "title": "Add door or window",
 "description": "Puts a door or a window into a wall, offset mm from the wall's start.",
 "inputSchema": {"type": "object", "properties": {
   "wall": {"type": "string", "description": "Wall id, e.g. W1"},
   "kind": {"type": "string", "enum": ["door", "window"]},
   "offset": {"type": "number", "description": "Distance from the wall's start (mm)"},
   "width": {"type": "number", "description": "Opening width (mm)"}},
  "required": ["wall", "kind", "offset", "width"]}},
{"name": "list_elements", "title": "List elements",
 "description": "Lists every element of the floor plan.",
 "inputSchema": {"type": "object", "properties": {}}},
{"name": "undo", "title": "Undo",
 "description": "Removes the element added last.",
 "inputSchema": {"type": "object", "properties": {}}},
{"name": "render_preview", "title": "Render preview",
 "description": "Renders a preview of the plan; slow, reports progress.",
 "inputSchema": {"type": "object", "properties": {
   "steps": {"type": "integer", "default": 5, "minimum": 1},
   "stepMs": {"type": "integer", "default": 100, "minimum": 0}}}},
{"name": "enable_furniture", "title": "Enable furniture",
 "description": "Switches on the furniture library, which adds the tool add_furniture.",
 "inputSchema": {"type": "object", "properties": {}}}
])json";

const char furnitureDefinition[] = R"json(
{"name": "add_furniture", "title": "Add furniture",
 "description": "Places a furniture symbol (e.g. bed, sofa, table) at (x, y) in millimetres.",
 "inputSchema": {"type": "object", "properties": {
   "symbol": {"type": "string", "description": "Symbol name"},
   "x": {"type": "number"}, "y": {"type": "number"}},
  "required": ["symbol", "x", "y"]}}
)json";

// Reads arguments and keeps the first problem, so a tool checks all it needs, then asks once.
class Arguments
{
public:
    explicit Arguments(const QJsonObject &arguments)
        : object(arguments)
    {}

    double number(const char *key, std::optional<double> fallback = {})
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined() && fallback)
            return *fallback;
        if (value.isUndefined())
            fail(QStringLiteral("Missing argument \"%1\" (number).").arg(QLatin1String(key)));
        else if (!value.isDouble() || !std::isfinite(value.toDouble()))
            fail(QStringLiteral("Argument \"%1\" must be a number.").arg(QLatin1String(key)));
        return value.toDouble();
    }

    int integer(const char *key, int fallback, int minimum)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined())
            return fallback;
        const double d = value.toDouble(-1);
        if (!value.isDouble() || d != std::floor(d) || d < minimum || d > 1000000)
            fail(QStringLiteral("Argument \"%1\" must be a whole number of at least %2.")
                         .arg(QLatin1String(key))
                         .arg(minimum));
        return int(d);
    }

    QString text(const char *key)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined())
            fail(QStringLiteral("Missing argument \"%1\" (string).").arg(QLatin1String(key)));
        else if (!value.isString() || value.toString().isEmpty())
            fail(QStringLiteral("Argument \"%1\" must be a non-empty string.")
                         .arg(QLatin1String(key)));
        return value.toString();
    }

    void fail(const QString &text)
    {
        if (error.isEmpty())
            error = text;
    }

    QString error;

private:
    const QJsonObject object;
};

QString mm(double value)
{
    return QString::number(value, 'g', 12);
}

ToolOutcome failure(const QString &text)
{
    return {text, true, false};
}

} // namespace

QJsonArray FloorPlan::tools() const
{
    QJsonArray all = QJsonDocument::fromJson(toolDefinitions).array();
    if (furniture)
        all.append(QJsonDocument::fromJson(furnitureDefinition).object());
    return all;
}

bool FloorPlan::hasTool(const QString &name) const
{
    for (const QJsonValue &tool : tools()) {
        if (tool[QLatin1String("name")].toString() == name)
            return true;
    }
    return false;
}

ToolOutcome FloorPlan::call(const QString &name, const QJsonObject &arguments)
{
    if (name == QLatin1String("add_wall"))
        return addWall(arguments);
    if (name == QLatin1String("add_opening"))
        return addOpening(arguments);
    if (name == QLatin1String("add_furniture") && furniture)
        return addFurniture(arguments);
    if (name == QLatin1String("list_elements"))
        return listElements();
    if (name == QLatin1String("undo"))
        return undo();
    if (name == QLatin1String("enable_furniture")) {
        if (furniture)
            return {QStringLiteral("The furniture library is already on."), false, false};
        furniture = true;
        return {QStringLiteral("The furniture library is on; the tool add_furniture is available."),
                false,
                true};
    }
    return failure(QStringLiteral("The plan has no tool \"%1\".").arg(name));
}

QString FloorPlan::checkPreview(const QJsonObject &arguments, int &steps, int &stepMs)
{
    Arguments args(arguments);
    steps = args.integer("steps", 5, 1);
    stepMs = args.integer("stepMs", 100, 0);
    return args.error;
}

QString FloorPlan::previewDone(int steps) const
{
    return QStringLiteral("Rendered a preview of %1 element(s) in %2 step(s).")
            .arg(elements.size())
            .arg(steps);
}

ToolOutcome FloorPlan::added(const Element &element)
{
    elements.append(element);
    return {QStringLiteral("Added %1 %2 %3.").arg(element.kind, element.id, element.description),
            false,
            false};
}

QString FloorPlan::nextId(const QString &prefix)
{
    return prefix + QString::number(++counters[prefix]);
}

ToolOutcome FloorPlan::addWall(const QJsonObject &arguments)
{
    Arguments args(arguments);
    const double x1 = args.number("x1");
    const double y1 = args.number("y1");
    const double x2 = args.number("x2");
    const double y2 = args.number("y2");
    const double thickness = args.number("thickness", 200.0);
    if (args.error.isEmpty() && thickness <= 0)
        args.fail(QStringLiteral("The thickness must be greater than 0 mm."));
    const double length = std::hypot(x2 - x1, y2 - y1);
    if (args.error.isEmpty() && length <= 0)
        args.fail(QStringLiteral("A wall needs two different end points."));
    if (!args.error.isEmpty())
        return failure(args.error);

    Element wall{nextId(QStringLiteral("W")), QStringLiteral("wall"), {}, length};
    wall.description = QStringLiteral("from (%1, %2) to (%3, %4), %5 mm thick")
                               .arg(mm(x1), mm(y1), mm(x2), mm(y2), mm(thickness));
    return added(wall);
}

ToolOutcome FloorPlan::addOpening(const QJsonObject &arguments)
{
    Arguments args(arguments);
    const QString wallId = args.text("wall");
    const QString kind = args.text("kind");
    const double offset = args.number("offset");
    const double width = args.number("width");
    if (!args.error.isEmpty())
        return failure(args.error);
    if (kind != QLatin1String("door") && kind != QLatin1String("window"))
        return failure(QStringLiteral("Argument \"kind\" must be \"door\" or \"window\"."));

    const Element *wall = nullptr;
    for (const Element &e : elements) {
        if (e.id == wallId && e.kind == QLatin1String("wall"))
            wall = &e;
    }
    if (!wall)
        return failure(QStringLiteral("There is no wall \"%1\" in the plan.").arg(wallId));
    if (width <= 0 || offset < 0 || offset + width > wall->length)
        return failure(QStringLiteral("A %1 %2 mm wide at %3 mm does not fit on %4 (%5 mm long).")
                               .arg(kind, mm(width), mm(offset), wallId, mm(wall->length)));

    Element opening{
            nextId(kind == QLatin1String("door") ? QStringLiteral("D") : QStringLiteral("WIN")),
            kind,
            QStringLiteral("in %1 at %2 mm, %3 mm wide").arg(wallId, mm(offset), mm(width))};
    return added(opening);
}

ToolOutcome FloorPlan::addFurniture(const QJsonObject &arguments)
{
    Arguments args(arguments);
    const QString symbol = args.text("symbol");
    const double x = args.number("x");
    const double y = args.number("y");
    if (!args.error.isEmpty())
        return failure(args.error);
    Element item{nextId(QStringLiteral("F")),
                 QStringLiteral("furniture"),
                 QStringLiteral("\"%1\" at (%2, %3)").arg(symbol, mm(x), mm(y))};
    return added(item);
}

ToolOutcome FloorPlan::listElements() const
{
    if (elements.isEmpty())
        return {QStringLiteral("The plan is empty."), false, false};
    QString text = QStringLiteral("The plan has %1 element(s):").arg(elements.size());
    for (const Element &e : elements)
        text += QStringLiteral("\n%1: %2 %3").arg(e.id, e.kind, e.description);
    return {text, false, false};
}

ToolOutcome FloorPlan::undo()
{
    if (elements.isEmpty())
        return {QStringLiteral("Nothing to undo."), false, false};
    const Element last = elements.takeLast();
    return {QStringLiteral("Removed %1 %2 %3.").arg(last.kind, last.id, last.description),
            false,
            false};
}

} // namespace ves::sim
