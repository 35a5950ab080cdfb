#include "ui/Application/Collaborators.h"

#include "ui/Application/QtClipboard.h"
#include "ui/Application/QtUrlOpener.h"

namespace gelmora::ui {

namespace {
UrlOpener*& installedOpener() {
  static UrlOpener* opener = nullptr;
  return opener;
}
Clipboard*& installedClipboard() {
  static Clipboard* clipboard = nullptr;
  return clipboard;
}
}  // namespace

UrlOpener& urlOpener() {
  static QtUrlOpener qt;
  return installedOpener() ? *installedOpener() : qt;
}

void setUrlOpener(UrlOpener* opener) { installedOpener() = opener; }

Clipboard& clipboard() {
  static QtClipboard qt;
  return installedClipboard() ? *installedClipboard() : qt;
}

void setClipboard(Clipboard* clipboard) { installedClipboard() = clipboard; }

}  // namespace gelmora::ui
