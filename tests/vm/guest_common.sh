# Shared by the guest scripts: case markers and Noctra runs.
# A marker is one byte written to COM2's scratch register, which nothing else
# touches once the machine is up: QEMU's trace then shows where each case
# begins, between the register writes the case is judged by.
mark() {
  printf "\\$(printf '%03o' "$1")" | dd of=/dev/port bs=1 seek=$((0x2ff)) conv=notrunc status=none
  echo "== case marker $1: $2"
}

# settings NAME KEY=VALUE... writes $RIG_OUT/NAME.ini from section/key pairs
# given as Section.Key=Value.
settings() {
  ini="$RIG_OUT/$1.ini"
  shift
  : > "$ini"
  for section in Filenames Flags Capture Hardware Recording; do
    echo "[$section]" >> "$ini"
    for pair in "$@"; do
      case "$pair" in "$section".*) echo "${pair#"$section".}" >> "$ini" ;; esac
    done
  done
}
