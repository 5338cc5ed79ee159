#!/usr/bin/env bash
# The tool's reference outside the binary: the manual page renders without
# a warning and covers every command; the bash completion completes the
# commands, no others, and each command's options; `cmake --install` puts
# both, and the licence, where a system looks for them. The commands and
# their options are the ones the tool's own --help lists, so that a command
# added to the tool is checked without a second list to keep here.
# Usage: reference_test.sh SOURCE_DIR BINARY_DIR TOOL
set -euo pipefail
source_dir="$1"
binary_dir="$2"
tool="$3"
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# The names in the first column of a --help section ("Subcommands:",
# "Options:"), up to the blank line that ends it. It reads the help to its
# end, so that the tool never writes into a pipe that has closed.
section_of() {
  awk -v title="$1:" '$0 == title && !seen { inside = 1; seen = 1; next }
                      inside && /^$/ { inside = 0 }
                      inside && /^  [^ ]/ { print $1 }'
}
mapfile -t commands < <("$tool" --help | section_of Subcommands)
((${#commands[@]} > 0)) || fail "no commands in quillstone-dat --help"

# The manual page.
page="$source_dir/docs/quillstone-dat.1"
warnings="$(groff -man -Tutf8 -ww -z "$page" 2>&1)"
[[ -z "$warnings" ]] || fail "groff warns: $warnings"
rendered="$(groff -man -Tutf8 "$page" 2>/dev/null | sed 's/.\x08//g')"
for section in NAME SYNOPSIS "FILE IDS" COMMANDS "EXIT STATUS" EXAMPLES; do
  grep -q "^$section" <<<"$rendered" || fail "no section $section"
done
for command in "${commands[@]}"; do
  grep -Eq "^ +$command " <<<"$rendered" || fail "no command $command"
done

# The completion, called as bash calls it.
complete_words() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
           _quillstone_dat; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$source_dir/tools/completion/quillstone-dat.bash" "$@"
}
offered="$(complete_words quillstone-dat "")"
for command in "${commands[@]}"; do
  grep -qx "$command" <<<"$offered" || fail "completion lacks $command"
  # Each option the command's help lists, as -a,--all or --all; the short
  # -h aside, which the completion leaves to --help.
  options="$(complete_words quillstone-dat "$command" a.dat -)"
  for option in $("$tool" "$command" --help | section_of Options |
                  tr ',' '\n'); do
    [[ "$option" == -h ]] && continue
    grep -qx -- "$option" <<<"$options" ||
      fail "completion lacks $command $option"
  done
done
while read -r word; do
  # mount and umount are built only where libfuse3 is; the completion
  # offers them everywhere.
  [[ "$word" == mount || "$word" == umount ]] && continue
  printf '%s\n' "${commands[@]}" | grep -qx -- "$word" ||
    fail "completion offers $word, which the tool does not have"
done <<<"$offered"
[[ "$(complete_words quillstone-dat --debug ve)" == verify ]] ||
  fail "no command after --debug"
[[ "$(complete_words quillstone-dat extract a.dat out --sk)" == \
   --skip-existing ]] || fail "no extract option"
[[ "$(complete_words quillstone-dat pack in a.dat --compress a)" == \
   "$(printf 'all\nauto')" ]] || fail "no --compress values"
[[ "$(complete_words quillstone-dat diff a.dat b.dat --contents)" == \
   --contents-only ]] || fail "no diff option"

# The install.
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$binary_dir" --prefix "$prefix" >/dev/null
for installed in share/man/man1/quillstone-dat.1 \
                 share/bash-completion/completions/quillstone-dat \
                 share/doc/quillstone_dat/LICENSE bin/quillstone-dat; do
  [[ -f "$prefix/$installed" ]] || fail "not installed: $installed"
done

if ((failures > 0)); then exit 1; fi
echo "reference: manual page, completion and install checked for" \
     "${#commands[@]} commands: ${commands[*]}"
