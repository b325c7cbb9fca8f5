#!/usr/bin/env bash
# The launcher for programs the applet starts ("Notepad.exe FILE"): shows the files in
# the desktop's viewer, or prints where they are.
shift  # the program's own name
for f in "$@"; do
    if command -v xdg-open >/dev/null 2>&1 && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        xdg-open "$f" >/dev/null 2>&1 &
    else
        echo "view: $f"
    fi
done
