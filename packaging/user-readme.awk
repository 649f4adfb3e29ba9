# Cuts the README a user gets in the release folder out of the project's README: its opening
# (what the program is) and the sections a user needs, in the README's own order.
#   awk -f user-readme.awk README.md > README.user.md
BEGIN {
  wanted["Install"] = 1
  wanted["Files beside the program"] = 1
  wanted["The command `supplier-harvester-cli`"] = 1
  wanted["Keeping a harvest current"] = 1
  keep = 1
}
/^```/ { fence = !fence }
!fence && /^## / {
  title = substr($0, 4)
  keep = (title in wanted)
  if (keep) found[title] = 1
}
keep { print }
END {
  for (t in wanted)
    if (!(t in found)) { print "user-readme: README.md has no section " t > "/dev/stderr"; exit 1 }
}
