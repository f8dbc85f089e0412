#!/usr/bin/env bash
# What another program on the device gets from the request layer, tried as
# its author would, in a private directory under the build tree that goes
# away at the end.
#   test_install.sh CMAKE GENERATOR SOURCE consumers BUILD LIBDIR WORK
#     installs the layer into a prefix, compiles its cgi.h as C89, C99 and
#     C++98 to C++20 without a warning, builds examples/greet.c against it
#     twice, through pkg-config with cc and through find_package(cgi), and
#     asks each for a greeting as the web server would.
#   test_install.sh CMAKE GENERATOR SOURCE package WORK
#     builds the device package from a musl ARM tree of its own (the device
#     configuration: no device root) and checks it with check-package.sh,
#     which also unpacks it with GNU tar and the device's BusyBox tar.
set -euo pipefail
cmake=$1 generator=$2 source=$3 mode=$4
shift 4
fail() { echo "test_install: $*" >&2; exit 1; }

# examples/greet.c keeps the name in a cookie for a day and greets it.
greets_ann() {
    local out
    out=$(env -i REQUEST_METHOD=GET QUERY_STRING=name=Ann "$1") || fail "$1 exited with $?"
    case $out in
        "Set-Cookie: name=Ann; domain=; expires="*"; path=/"$'\r\n'"Content-type: text/html"$'\r\n\r\n'"<!doctype html>"$'\n'"<p>Hello, Ann!</p>"$'\n'"<form method=\"post\"><input name=\"name\" value=\"Ann\"></form>") ;;
        *) fail "$1 answered:"$'\n'"$out" ;;
    esac
}

case $mode in
consumers)
    build=$1 libdir=$2 work=$3
    # cmake --install records what it installed in the build tree: leave
    # that record as it was.
    manifest=$build/install_manifest_development.txt
    rm -rf "$work" && mkdir -p "$work"
    [ ! -e "$manifest" ] || cp "$manifest" "$work/manifest.saved"
    trap 'if [ -e "$work/manifest.saved" ]; then mv "$work/manifest.saved" "$manifest"; else rm -f "$manifest"; fi; rm -rf "$work"' EXIT
    prefix=$work/prefix
    "$cmake" --install "$build" --prefix "$prefix" --component development >/dev/null
    headers=$(find "$prefix" -name '*.h' -printf '%P\n' 2>/dev/null || true)
    [ "$headers" = include/cgi.h ] || fail "headers installed: '$headers' (the public one alone: include/cgi.h)"

    # The installed header as each standard a program on the layer may use, where the compiler has it.
    printf '#include <cgi.h>\nint cgiMain(void) { return cgiFormString("n", 0, 0) == cgiFormSuccess; }\n' >"$work/std.src"
    for std in c89 c99 c++98 c++11 c++14 c++17 c++20; do
        case $std in c++*) compile=(c++ -x c++) ;; *) compile=(cc -x c) ;; esac
        "${compile[@]}" -std=$std -fsyntax-only /dev/null 2>/dev/null || { echo "test_install: no $std here"; continue; }
        "${compile[@]}" -std=$std -Wall -Wextra -pedantic -Werror -I"$prefix/include" -c "$work/std.src" \
            -o "$work/std.o" || fail "cgi.h is not clean as $std"
    done

    flags=$(PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig pkg-config --cflags --libs cgi)
    cc -o "$work/greet-pc" "$source/examples/greet.c" $flags
    greets_ann "$work/greet-pc"
    # examples/upload.c: two files under one name, then none.
    cc -o "$work/upload" "$source/examples/upload.c" $flags
    printf -- '--b\r\nContent-Disposition: form-data; name="files"; filename="%s"\r\n\r\n%s\r\n' a one b two2 >"$work/two"
    printf -- '--b\r\nContent-Disposition: form-data; name="note"\r\n\r\nx\r\n' >"$work/none"
    answers=
    for body in two none; do
        printf -- '--b--\r\n' >>"$work/$body"
        answers+=$(env -i REQUEST_METHOD=POST SCRIPT_NAME=/up CONTENT_TYPE='multipart/form-data; boundary=b' \
                   CONTENT_LENGTH="$(stat -c %s "$work/$body")" "$work/upload" <"$work/$body" 2>/dev/null | tr '\r\n' '~|')
    done
    [ "$answers" = "Status: 303 See Other~|Set-Cookie: sent=2-files-7-bytes; Path=/; HttpOnly; SameSite=Lax~|Location: /up~|~|Status: 400 Bad Request~|Content-type: text/html~|~|<!doctype html>|<p>No file was sent.</p>|" ] ||
        fail "upload.c answered: $answers"

    mkdir "$work/consumer"
    cat >"$work/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(greet C)
find_package(cgi REQUIRED)
add_executable(greet "$source/examples/greet.c")
target_link_libraries(greet cgi::cgi)
CMAKE
    "$cmake" -S "$work/consumer" -B "$work/consumer/build" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    "$cmake" --build "$work/consumer/build" >/dev/null
    greets_ann "$work/consumer/build/greet"
    echo "test_install: greet.c built through pkg-config and find_package(cgi) greets Ann"
    ;;
package)
    work=$1
    rm -rf "$work" && mkdir -p "$work"
    trap 'rm -rf "$work"' EXIT
    "$cmake" -S "$source" -B "$work/arm" -G "$generator" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$source/cmake/arm-linux-musleabi.cmake" >/dev/null
    "$cmake" --build "$work/arm" --target package >/dev/null
    "$source/tests/install/check-package.sh" "$work"/arm/sethc-*.tar.gz
    ;;
*) fail "unknown mode $mode" ;;
esac
