#!/usr/bin/env bash
# The back end links no Qt Widgets: nothing under net/ or res/ may include a widget header
# or the window's code.
top=$(cd "$(dirname "$0")/.." && pwd)
hits=$(grep -rnE '#include *[<"](Q[A-Z][A-Za-z]*Widget|QtWidgets|QDialog|QApplication|ui/)' \
       "$top/net" "$top/res" 2>/dev/null)
if [ -n "$hits" ]; then
    echo "The back end includes window code:"; echo "$hits"; exit 1
fi
links=$(grep -rnE 'Qt6::(Gui|Widgets)' --include=CMakeLists.txt "$top/net" "$top/res" 2>/dev/null)
if [ -n "$links" ]; then
    echo "The back end links Qt Gui or Widgets:"; echo "$links"; exit 1
fi
echo "ok: net/ and res/ include and link no widget code"
