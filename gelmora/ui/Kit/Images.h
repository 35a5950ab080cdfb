#pragma once
// Images of the application by name, from the resources (:/images/<name>.png, our own artwork).
#include <QIcon>
#include <QPixmap>
#include <QStringList>
#include <string_view>

namespace gelmora::ui::Images {

// The image, or a null pixmap (logged) when there is none of that name.
QPixmap named(std::string_view name);
QIcon icon(std::string_view name);
// True when the resources hold an image of that name.
bool exists(std::string_view name);
// Every image name in the resources.
QStringList names();

}  // namespace gelmora::ui::Images
