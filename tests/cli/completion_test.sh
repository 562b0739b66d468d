#!/usr/bin/env bash
# completion_test.sh SCRIPT: the bash completion of vantra-flash and vantra-boardsim, run as
# bash-completion runs it, against the programs on PATH and a simulated board's real
# pseudo-terminal. Exit 77 (skipped) without bash-completion.
set -euo pipefail
script=$1
framework=/usr/share/bash-completion/bash_completion
if [ ! -r "$framework" ]; then
  echo "skipped: bash-completion is not installed"
  exit 77
fi
tmp=$(mktemp -d)
sim=
trap '[ -z "$sim" ] || kill "$sim" 2>/dev/null; rm -rf "$tmp"' EXIT
touch "$tmp/record.log"
mkdir "$tmp/root"
vantra-boardsim >"$tmp/sim.out" &
sim=$!
pty=
for _ in $(seq 100); do
  pty=$(head -n 1 "$tmp/sim.out")
  [ -n "$pty" ] && break
  sleep 0.1
done
[ -n "$pty" ] || { echo "FAIL: vantra-boardsim gave no pseudo-terminal"; exit 1; }

# What the completion offers for LINE (the cursor at its end), one word a line.
complete_line() {
  bash -c '
    source "$1" && source "$2" || exit 1
    line=$3
    COMP_LINE=$line COMP_POINT=${#line}
    read -ra COMP_WORDS <<<"${line//=/ = }"  # readline splits at "=" too
    [[ $line == *[\ =] ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    registered=$(complete -p "${COMP_WORDS[0]}") || exit 1
    fn=${registered#*-F }
    fn=${fn%% *}
    "$fn" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"
  ' complete "$framework" "$script" "$1"
}

failures=0
# line | a word it must offer | a word it must not offer (optional)
while IFS='|' read -r line want refuse; do
  offered=$(complete_line "$line" 2>&1) || true
  if grep -qxF -- "$want" <<<"$offered" && { [ -z "$refuse" ] || ! grep -qxF -- "$refuse" <<<"$offered"; }; then
    echo "ok: '$line' offers $want"
  else
    echo "FAIL: '$line' should offer '$want'${refuse:+ and not '$refuse'}; offered:"
    sed 's/^/    /' <<<"$offered"
    failures=$((failures + 1))
  fi
done <<EOF_TABLE
vantra-boardsim --st|--stop-at|
vantra-boardsim --trace |--baud|
vantra-boardsim --fault dup|duplicate-late:|bad-check:
vantra-flash --po|--port|
vantra-flash --port /dev/pts/|$pty|
vantra-flash --port=/dev/pts/|$pty|
vantra-flash --log $tmp/re|$tmp/record.log|
vantra-flash --trace $tmp/re|$tmp/record.log|
vantra-flash --sysroot $tmp/|$tmp/root|$tmp/record.log
EOF_TABLE
echo "$failures failed"
[ "$failures" = 0 ]
