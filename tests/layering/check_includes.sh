#!/bin/sh
# Checks every #include "..." of the system's own code against the table of allowed edges.
#   check_includes.sh <source root> <table> [<folder to skip>...]
# Scans the C and C++ files below the root, except tests/, tools/, build/, third_party/, hidden
# folders and the folders given. Prints one line per forbidden include,
#   <file>:<line>: <folder> may not include <folder> ("<include>")
# and exits 1 when there is any; 0 when every include is allowed.
set -eu
root="$1"
table="$2"
shift 2
cd "$root"
here="$(pwd -P)"
skip="-path ./build -o -path ./third_party -o -path ./tests -o -path ./tools -o -path ./.*"
for dir in "$@"; do
    if [ -d "$dir" ]; then
        dir="$(cd "$dir" && pwd -P)"
        case "$dir" in
        "$here"/*) skip="$skip -o -path ./${dir#"$here"/}" ;;
        esac
    fi
done
set -f # the patterns in $skip are find's, not the shell's
# shellcheck disable=SC2086
files="$(find . -type d \( $skip \) -prune -o -type f \
    \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cpp' \) -print)"
set +f
files="$(printf '%s\n' "$files" | sed 's|^\./||' | LC_ALL=C sort)"
if [ -z "$files" ]; then
    echo "no C or C++ file below $root" >&2
    exit 2
fi
# shellcheck disable=SC2086
printf '%s\n' "$files" | awk -v table="$table" '
    # The row that holds a path: the file row of that exact path, else the longest folder row
    # that the path lies in. "" when there is none.
    function row_of(path,    best, f) {
        if (path in fileRow) return path
        best = ""
        for (f in folderRow) {
            if (substr(path, 1, length(f)) == f && length(f) > length(best)) best = f
        }
        return best
    }
    # The folder an included path belongs to: its longest folder row, else its first component.
    function folder_of(path,    f, best) {
        best = ""
        for (f in folderRow) {
            if (substr(path, 1, length(f)) == f && length(f) > length(best)) best = f
        }
        if (best != "") return best
        return substr(path, 1, index(path, "/"))
    }
    function allowed(row, inc, incFolder,    own) {
        if ((row SUBSEP inc) in allow) return 1
        if ((row SUBSEP incFolder) in allow) return 1
        # A folder row always allows its own folder; a file row allows only what it lists.
        own = (row in folderRow) && incFolder == row
        return own
    }
    BEGIN {
        while ((getline line < table) > 0) {
            sub(/#.*/, "", line)
            n = split(line, f, /[ \t]+/)
            if (line ~ /^[ \t]/) {
                first = 2 # an indented line goes on with the row above it
            } else if (n > 0) {
                key = f[1]
                if (key ~ /\/$/) folderRow[key] = 1
                else fileRow[key] = 1
                first = 2
            } else {
                continue
            }
            for (i = first; i <= n; i++) if (f[i] != "") allow[key, f[i]] = 1
        }
        close(table)
        bad = 0
    }
    {
        file = $0
        row = row_of(file)
        if (row == "") {
            printf "%s: no row of the include table holds this file\n", file
            bad = 1
            next
        }
        from = (row in fileRow) ? file : row
        lineNo = 0
        while ((getline text < file) > 0) {
            lineNo++
            if (text !~ /^[ \t]*#[ \t]*include[ \t]*"/) continue
            inc = text
            sub(/^[ \t]*#[ \t]*include[ \t]*"/, "", inc)
            sub(/".*/, "", inc)
            if (inc ~ /^\.\.?\//) {
                printf "%s:%d: relative include (\"%s\"): name it from the tree root\n", file, lineNo, inc
                bad = 1
                continue
            }
            if (index(inc, "/") == 0) continue # a file beside the includer
            incFolder = folder_of(inc)
            if (!allowed(row, inc, incFolder)) {
                printf "%s:%d: %s may not include %s (\"%s\")\n", file, lineNo, from, incFolder, inc
                bad = 1
            }
        }
        close(file)
    }
    END { exit bad }
'
