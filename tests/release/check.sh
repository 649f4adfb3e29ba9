#!/usr/bin/env bash
# The release archive from outside, as a user gets it: made by CPack, unpacked into a fresh folder
# outside the build tree, and each part of the unpacked folder checked.
#   check.sh unpack BUILD_DIR DEST ARCHIVE_NAME FOLDER_NAME
#   check.sh layout FOLDER VERSION CRYPTO_FILE SSL_FILE ARCHIVE_NAME
#   check.sh libraries FOLDER
#   check.sh menu-entry FOLDER
#   check.sh man-page FOLDER
#   check.sh completion FOLDER
#   check.sh clean DEST
set -euo pipefail
export LC_ALL=C.UTF-8

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# The option names --help lists, one a line, in its order.
help_options() {
  "$1/supplier-harvester-cli" --help | sed -n 's/^ \{1,\}\(-[A-Za-z], \)\{0,1\}\(--[a-z0-9-]*\).*/\2/p'
}

unpack() {
  local build=$1 dest=$2 name=$3 folder=$4
  rm -rf "$dest"
  mkdir -p "$dest/archive"
  cpack --config "$build/CPackConfig.cmake" -B "$dest/archive" >"$dest/cpack.log" 2>&1 ||
    { cat "$dest/cpack.log"; fail "cpack"; }
  local archive=$dest/archive/$name.tar.gz
  [ -f "$archive" ] || fail "no $name.tar.gz: $(ls "$dest/archive")"
  mkdir "$dest/unpacked"
  tar -xzf "$archive" -C "$dest/unpacked"
  [ "$(ls -A "$dest/unpacked")" = "$folder" ] || fail "the archive holds $(ls -A "$dest/unpacked"), not one folder $folder"
  echo "ok: $archive unpacks into $folder/"
}

layout() {
  local dir=$1 version=$2 crypto=$3 ssl=$4 archive=$5
  local expected
  expected=$(printf '%s\n' README.md install-menu-entry.sh install-runtime.sh "$crypto" "$ssl" \
    share/bash-completion/completions/supplier-harvester-cli share/icons/supplier-harvester.svg \
    share/man/man1/supplier-harvester-cli.1 supplier-harvester supplier-harvester-cli | sort)
  local actual
  actual=$(cd "$dir" && find . -type f -o -type l | sed 's|^\./||' | sort)
  [ "$actual" = "$expected" ] || fail "files in the folder:"$'\n'"$(diff <(echo "$expected") <(echo "$actual") || true)"
  for p in supplier-harvester supplier-harvester-cli install-runtime.sh install-menu-entry.sh; do
    [ -x "$dir/$p" ] || fail "$p is not executable"
  done
  for p in supplier-harvester supplier-harvester-cli; do
    local runpath
    runpath=$(readelf -d "$dir/$p" | sed -n 's/.*(RUNPATH) *Library runpath: \[\(.*\)\]/\1/p')
    [ "$runpath" = '$ORIGIN' ] || fail "$p has RUNPATH [$runpath]"
    ! readelf -d "$dir/$p" | grep -q '(RPATH)' || fail "$p has an RPATH"
  done
  local said
  said=$("$dir/supplier-harvester-cli" --version)
  [ "$said" = "supplier-harvester-cli $version" ] || fail "--version says [$said]"
  grep -q "^## Install" "$dir/README.md" || fail "README.md has no Install section"
  grep -qF "$archive.tar.gz" "$dir/README.md" || fail "README.md does not name $archive.tar.gz"
  ! grep -q '^## Performance' "$dir/README.md" || fail "README.md keeps the developers' sections"
  echo "ok: the folder holds exactly the release files; RUNPATH \$ORIGIN; version $version"
}

# Every Debian package that the named ones bring in, themselves included.
package_closure() {
  apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances "$@" 2>/dev/null | grep -v '^ ' | sed 's/:.*//' | sort -u
}

# The packages that hold files, as "path package" lines. A file is looked up by its path as the
# loader found it and by its real path, each with and without /usr: a merged /usr keeps /lib and
# /usr/lib under one roof, and dpkg knows one of the spellings. One dpkg call for all of them.
owners() {
  local f real
  for f in "$@"; do
    real=$(readlink -f "$f")
    printf '%s\n' "$f" "$real" "${f#/usr}" "/usr$f" "${real#/usr}" "/usr$real"
  done | sort -u | xargs -r dpkg -S 2>/dev/null | sed -n 's/^\([^:,]*\)[^ ]*: \(.*\)$/\2 \1/p' || true
}

# Each library that the program files load lies in the folder or in a package of `closure`.
check_loads() {
  local dir=$1 closure=$2
  shift 2
  local file out libs=() from=() lib i
  for file in "$@"; do
    case $(readlink -f "$file") in
      "$dir"/*) ;;
      *) libs+=("$file") from+=("install-runtime.sh") ;;  # a plugin from the system: its package too
    esac
    out=$(ldd "$file") || fail "ldd $file"
    ! grep -q 'not found' <<<"$out" || fail "$file: a library is not found:"$'\n'"$out"
    while read -r lib; do
      [ -n "$lib" ] || continue
      case $(readlink -f "$lib") in "$dir"/*) continue ;; esac
      libs+=("$lib")
      from+=("$file")
    done < <(sed -n 's/.*=> \(\/[^ ]*\) (.*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p' <<<"$out")
  done
  local -A owner
  local path pkg
  while read -r path pkg; do owner[$path]=$pkg; done < <(owners "${libs[@]}" "$@")
  for ((i = 0; i < ${#libs[@]}; i++)); do
    lib=${libs[i]}
    pkg=""
    for path in "$lib" "$(readlink -f "$lib")"; do
      for path in "$path" "${path#/usr}" "/usr$path"; do
        [ -n "$pkg" ] || pkg=${owner[$path]:-}
      done
    done
    [ -n "$pkg" ] || fail "${from[i]} loads $lib, which no package holds"
    grep -qx "$pkg" <<<"$closure" || fail "${from[i]} loads $lib of $pkg, which install-runtime.sh does not bring"
  done
}

libraries() {
  local dir=$1
  local names closure
  for choice in "" --cli; do
    names=$("$dir/install-runtime.sh" --list $choice)
    apt-cache show --no-all-versions $names >/dev/null || fail "install-runtime.sh $choice names a package Debian lacks"
    ! grep -E -e '-dev$' -e '^(gcc|g\+\+|cpp|clang|build-essential|make)(-[0-9.]+)?$' <<<"$names" ||
      fail "install-runtime.sh $choice names build packages"
    closure=$(package_closure $names)
    ! grep -E -e '-dev$' -e '^(gcc|g\+\+|clang|build-essential)(-[0-9.]+)?$' <<<"$closure" ||
      fail "install-runtime.sh $choice brings build packages"
    if [ -n "$choice" ]; then
      check_loads "$dir" "$closure" "$dir/supplier-harvester-cli"
      continue
    fi
    # On a desktop the window also loads Qt's X11 platform plugin and its GL integrations, which
    # must come with the packages too.
    local qtgui plugins
    qtgui=$(ldd "$dir/supplier-harvester" | sed -n 's/.*libQt6Gui.so.6 => \([^ ]*\) .*/\1/p')
    plugins=$(dirname "$(readlink -f "$qtgui")")/qt6/plugins
    [ -f "$plugins/platforms/libqxcb.so" ] || fail "no X11 platform plugin in $plugins"
    check_loads "$dir" "$closure" "$dir/supplier-harvester-cli" "$dir/supplier-harvester" \
      "$plugins/platforms/libqxcb.so" $(ls "$plugins"/xcbglintegrations/*.so 2>/dev/null)
  done
  echo "ok: every library the programs load is in the folder or comes with install-runtime.sh (and --cli for the command)"
}

menu_entry() {
  local dir=$1
  command -v desktop-file-validate >/dev/null || fail "desktop-file-validate is missing (desktop-file-utils)"
  # A home of its own beside the unpacked folder (a folder under tmp is one the program refuses).
  local home
  home=$(mktemp -d "$(dirname "$(dirname "$dir")")/home.XXXXXX")
  trap 'rm -rf "$home"' RETURN
  local entry=$home/.local/share/applications/supplier-harvester.desktop
  local icon=$home/.local/share/icons/hicolor/scalable/apps/supplier-harvester.svg
  HOME=$home XDG_DATA_HOME='' "$dir/install-menu-entry.sh" >/dev/null
  [ -f "$entry" ] && [ -f "$icon" ] || fail "no entry or icon under ~/.local/share"
  desktop-file-validate "$entry" || fail "desktop-file-validate"
  grep -qxF "Exec=\"$dir/supplier-harvester\"" "$entry" || fail "Exec: $(grep ^Exec "$entry")"
  grep -qxF "Path=$dir" "$entry" || fail "Path: $(grep ^Path "$entry")"
  grep -qxF "Icon=$icon" "$entry" || fail "Icon: $(grep ^Icon "$entry")"
  [ "$(readlink -f "$home/.local/bin/supplier-harvester-cli")" = "$dir/supplier-harvester-cli" ] || fail "no link to the command"
  [ -f "$home/.local/share/man/man1/supplier-harvester-cli.1" ] || fail "no link to the manual page"
  [ -f "$home/.local/share/bash-completion/completions/supplier-harvester-cli" ] || fail "no link to the completion"

  # A second run leaves the same files.
  local before after
  before=$(cd "$home" && find . | sort && cat "$entry")
  HOME=$home XDG_DATA_HOME='' "$dir/install-menu-entry.sh" >/dev/null
  after=$(cd "$home" && find . | sort && cat "$entry")
  [ "$before" = "$after" ] || fail "a second run changed:"$'\n'"$(diff <(echo "$before") <(echo "$after") || true)"

  # A folder whose name needs quoting in the entry, and another working folder.
  local odd="$home/Программы/a b \$x \"q\" 100%"
  mkdir -p "$odd/share/icons" "$home/work"
  cp "$dir/install-menu-entry.sh" "$odd/"
  cp "$dir/share/icons/supplier-harvester.svg" "$odd/share/icons/"
  cp "$dir/supplier-harvester" "$odd/"
  HOME=$home XDG_DATA_HOME='' "$odd/install-menu-entry.sh" --work-dir "$home/work" >/dev/null
  desktop-file-validate "$entry" || fail "desktop-file-validate, odd folder name"
  grep -qxF 'Exec="'"$home"'/Программы/a b \\$x \\"q\\" 100%%/supplier-harvester"' "$entry" ||
    fail "Exec of an odd folder name: $(grep ^Exec "$entry")"
  grep -qxF "Path=$home/work" "$entry" || fail "Path with --work-dir: $(grep ^Path "$entry")"

  # In a temporary folder the program would refuse to start: the script says so and writes nothing.
  local tmpdir="$home/tmp/sh"
  mkdir -p "$tmpdir/share/icons"
  cp "$odd/install-menu-entry.sh" "$odd/supplier-harvester" "$tmpdir/"
  cp "$odd/share/icons/supplier-harvester.svg" "$tmpdir/share/icons/"
  if HOME=$home XDG_DATA_HOME='' "$tmpdir/install-menu-entry.sh" >/dev/null 2>&1; then
    fail "a folder under tmp was accepted"
  fi
  rm -rf "$odd" "$home/tmp" "$home/Программы"

  HOME=$home XDG_DATA_HOME='' "$dir/install-menu-entry.sh" --remove >/dev/null
  local left
  left=$(find "$home" ! -type d)
  [ -z "$left" ] || fail "--remove left $left"
  echo "ok: the entry validates, a second run changes nothing, odd folder names are quoted, --remove takes all away"
}

man_page() {
  local dir=$1
  local page=$dir/share/man/man1/supplier-harvester-cli.1
  local out err
  err=$(mktemp)
  # groff's warning "w" is every warning ("all" leaves out undefined macros).
  out=$(MANWIDTH=80 man --warnings=w -l "$page" 2>"$err") || { cat "$err"; rm -f "$err"; fail "man -l"; }
  if [ -s "$err" ]; then cat "$err"; rm -f "$err"; fail "man -l warns"; fi
  rm -f "$err"
  for section in ИМЯ ОБЗОР ОПИСАНИЕ ПАРАМЕТРЫ "КОДЫ ЗАВЕРШЕНИЯ" СИГНАЛЫ ФАЙЛЫ ПРИМЕР; do
    grep -qx "$section" <<<"$out" || fail "the page has no section $section"
  done
  # The page's option items, in order, are the options --help lists.
  local items help
  items=$(awk '/^\.TP/ { getline; print }' "$page" |
    sed -n 's/^\.BI\{0,1\} "\{0,1\}\(\\-\\-[a-z0-9\\-]*\).*/\1/p' | sed 's/\\-/-/g')
  help=$(help_options "$dir")
  [ -n "$help" ] && [ "$items" = "$help" ] ||
    fail "the page's options differ from --help:"$'\n'"$(diff <(echo "$help") <(echo "$items") || true)"
  # Every option named anywhere on the page (the example included) is one the command has.
  local named
  named=$(grep -o '\\-\\-[a-z][a-z0-9\\-]*' "$page" | sed 's/\\-/-/g' | sort -u)
  local unknown
  unknown=$(comm -23 <(echo "$named") <(echo "$help" | sort -u))
  [ -z "$unknown" ] || fail "the page names options the command lacks: $unknown"
  grep -q 'SIGUSR1' <<<"$out" || fail "the page does not name the signals"
  echo "ok: man -l renders without warnings; the page names the options --help names"
}

completion() {
  local dir=$1
  local file=$dir/share/bash-completion/completions/supplier-harvester-cli
  bash -n "$file" || fail "bash -n"
  local work
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  mkdir "$work/out dir" "$work/data"
  touch "$work/data1.csv" "$work/proxy.txt" "$work/--odd.csv"
  # Completes the words as bash would on Tab after the last one; prints the offers, one a line.
  cat >"$work/complete.sh" <<'SCRIPT'
source "$1"
shift
COMP_WORDS=(supplier-harvester-cli "$@")
COMP_CWORD=$#
COMPREPLY=()
_supplier_harvester_cli
printf '%s\n' "${COMPREPLY[@]}" | sort
SCRIPT
  offers() { (cd "$work" && bash complete.sh "$file" "$@"); }
  local got
  expect() {
    local want=$1
    shift
    got=$(offers "$@")
    [ "$got" = "$want" ] || fail "completing [$*] offers [${got//$'\n'/ }], not [${want//$'\n'/ }]"
  }
  expect --resume --res
  expect "$(help_options "$dir" | sort)" --
  expect "$(help_options "$dir" | grep -- '^--x' | sort)" --test --x
  expect "data"$'\n'"out dir" --output-dir ""
  expect "data"$'\n'"data1.csv" --resume da
  expect "proxy.txt" --quiet --proxy-file pr
  expect "data"$'\n'"data1.csv" --to-xlsx d
  # After an option that takes a file even a word with dashes is a file name, not an option.
  for option in $(help_options "$dir" | grep -x -e --resume -e --proxy-file -e --to-xlsx -e --update -e --compare -e --output); do
    expect "--odd.csv" "$option" --o
  done
  [ "$(offers --o)" = "--origin"$'\n'"--output"$'\n'"--output-dir" ] || fail "completing --o offers $(offers --o)"
  expect "" --origin ""
  echo "ok: bash -n; --res completes to --resume; files and folders after the options that take them"
}

cmd=$1
shift
case $cmd in
  unpack) unpack "$@" ;;
  layout) layout "$@" ;;
  libraries) libraries "$@" ;;
  menu-entry) menu_entry "$@" ;;
  man-page) man_page "$@" ;;
  completion) completion "$@" ;;
  clean) rm -rf "$1" ;;
  *) fail "unknown check $cmd" ;;
esac
