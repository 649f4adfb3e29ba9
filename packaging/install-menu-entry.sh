#!/usr/bin/env bash
# Puts the window program of this folder into the desktop's application menu of the current
# user: a freedesktop entry and the program's icon under ~/.local/share (or $XDG_DATA_HOME). It
# also links the command, its manual page and its bash completion into the user's folders
# (~/.local/bin, ~/.local/share/man/man1, ~/.local/share/bash-completion/completions), so that
# `man supplier-harvester-cli` and Tab completion work from the next login on. No root needed.
#   ./install-menu-entry.sh [--work-dir DIR]   add or update; the window starts in DIR (default:
#                                              this folder), which holds 01cert.pem and 01key.pem
#   ./install-menu-entry.sh --remove           take all of it away again
# A second run replaces what the first wrote, so after moving the folder just run it again.
set -euo pipefail

usage() {
  echo "usage: $0 [--work-dir DIR] | --remove" >&2
  exit 2
}

folder=$(cd "$(dirname "$0")" && pwd -P)
work_dir=$folder
remove=false
while [ $# -gt 0 ]; do
  case $1 in
    --remove) remove=true ;;
    --work-dir)
      [ $# -ge 2 ] || usage
      [ -d "$2" ] || { echo "install-menu-entry: no such folder: $2" >&2; exit 2; }
      work_dir=$(cd "$2" && pwd -P)
      shift
      ;;
    -h | --help)
      sed -n '2,11s/^# \{0,1\}//p' "$0"
      exit 0
      ;;
    *) usage ;;
  esac
  shift
done

data=${XDG_DATA_HOME:-$HOME/.local/share}
entry=$data/applications/supplier-harvester.desktop
icon=$data/icons/hicolor/scalable/apps/supplier-harvester.svg
# Link name, and what it points at in this folder.
links=(
  "$HOME/.local/bin/supplier-harvester-cli" "$folder/supplier-harvester-cli"
  "$data/man/man1/supplier-harvester-cli.1" "$folder/share/man/man1/supplier-harvester-cli.1"
  "$data/bash-completion/completions/supplier-harvester-cli" "$folder/share/bash-completion/completions/supplier-harvester-cli"
)

if $remove; then
  rm -f "$entry" "$icon"
  for ((i = 0; i < ${#links[@]}; i += 2)); do
    # Only links are ours; a file of that name that is not a link was put there by someone else.
    if [ -L "${links[i]}" ]; then rm -f "${links[i]}"; fi
  done
  echo "install-menu-entry: removed the menu entry, the icon and the links"
  exit 0
fi

for f in supplier-harvester share/icons/supplier-harvester.svg; do
  [ -e "$folder/$f" ] || { echo "install-menu-entry: $folder/$f is missing" >&2; exit 1; }
done
# The program refuses to start from a temporary folder; say so now rather than from the menu.
if printf '%s\n' "$folder" | tr '/' '\n' | grep -qix -e temp -e tmp; then
  echo "install-menu-entry: the program does not run from a folder under temp or tmp: $folder" >&2
  echo "install-menu-entry: move the folder elsewhere (for example ~/supplier-harvester) and run this again" >&2
  exit 1
fi
case $folder$work_dir in
  *$'\n'* | *$'\r'*) echo "install-menu-entry: a folder name with a line break cannot go into a menu entry" >&2; exit 1 ;;
esac

# Values of a desktop entry: a string escapes backslashes; an Exec argument is quoted, with
# `"`, `` ` ``, `$` and `\` escaped inside the quotes, and `%` doubled.
string_value() { printf '%s' "$1" | sed 's/\\/\\\\/g'; }
exec_argument() {
  local quoted
  quoted=$(printf '%s' "$1" | sed -e 's/[\\"`$]/\\&/g' -e 's/%/%%/g')
  string_value "\"$quoted\""
}

mkdir -p "$(dirname "$entry")" "$(dirname "$icon")"
cp "$folder/share/icons/supplier-harvester.svg" "$icon.part"
mv -f "$icon.part" "$icon"
cat > "$entry.part" <<ENTRY
[Desktop Entry]
Type=Application
Version=1.4
Name=Парсер реестра участников госзакупок
GenericName=Выгрузка реестра участников
Comment=Выгрузка реестра участников портала госзакупок в файл результата
Exec=$(exec_argument "$folder/supplier-harvester")
Path=$(string_value "$work_dir")
Icon=$(string_value "$icon")
Terminal=false
Categories=Office;
ENTRY
mv -f "$entry.part" "$entry"

for ((i = 0; i < ${#links[@]}; i += 2)); do
  link=${links[i]} target=${links[i + 1]}
  if [ -e "$link" ] && [ ! -L "$link" ]; then
    echo "install-menu-entry: $link exists and is not a link; left as it is" >&2
    continue
  fi
  mkdir -p "$(dirname "$link")"
  ln -sfn "$target" "$link"
done

echo "install-menu-entry: menu entry $entry"
echo "install-menu-entry: the window starts in $work_dir (put 01cert.pem and 01key.pem there)"
