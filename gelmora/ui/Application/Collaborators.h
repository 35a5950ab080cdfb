#pragma once
// The application's collaborators that widgets use when their owner gives none: the Qt
// implementations unless replaced (tests install recording ones).
#include "gelmora/Application/Clipboard.h"
#include "gelmora/Application/UrlOpener.h"

namespace gelmora::ui {

UrlOpener& urlOpener();
// nullptr restores the Qt one.
void setUrlOpener(UrlOpener* opener);
Clipboard& clipboard();
void setClipboard(Clipboard* clipboard);

}  // namespace gelmora::ui
