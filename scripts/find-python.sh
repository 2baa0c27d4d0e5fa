#!/bin/sh
# Prints the path of a CPython 3.13 interpreter: $PYTHON if set, else the
# system python3.13, else the newest pyenv 3.13.x. Exits 1 if none works.
is_313() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13) or sys.implementation.name != "cpython")' >/dev/null 2>&1
}
if [ -n "$PYTHON" ]; then
    if is_313 "$PYTHON"; then echo "$PYTHON"; exit 0; fi
    echo "PYTHON=$PYTHON is not a CPython 3.13 interpreter" >&2; exit 1
fi
if command -v python3.13 >/dev/null 2>&1 && is_313 python3.13; then
    command -v python3.13; exit 0
fi
root=$( (pyenv root) 2>/dev/null || echo "$HOME/.pyenv")
for candidate in $(ls -d "$root"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r); do
    if is_313 "$candidate"; then echo "$candidate"; exit 0; fi
done
echo "no CPython 3.13 found: install one, or set PYTHON=/path/to/python3.13" >&2
exit 1
