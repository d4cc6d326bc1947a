# Helpers shared by run.sh and budgets.sh; source it, do not run it.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/image.sh"

# The counts and calls below are taken in an empty environment (env -i): a
# program's start-up reads every variable it is given (glibc's far more than
# musl's), so the figures would otherwise depend on who runs them. Each tool
# is found in PATH first, where the self-test puts its stand-ins.

# instructions COMMAND...: callgrind's "Collected" total for the command.
instructions() {
  env -i "$(command -v valgrind)" --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 \
    </dev/null >/dev/null |
    sed -n 's/^==[0-9]*== Collected : *\([0-9]*\).*/\1/p'
}

# syscall_names COMMAND...: the names of the system calls the command and its
# children make, one per line, execve first, folded onto the calls io_posix.cc
# makes, so that a libc which reaches them another way gives the same list:
# openat -> open; newfstatat, statx and the like -> stat on a name, fstat on
# a descriptor ("" with AT_EMPTY_PATH); fcntl64 -> fcntl; unlinkat -> unlink.
syscall_names() {
  local trace
  trace=$(mktemp)
  # Standard input open, as a closed one would cost kembu an extra open.
  env -i "$(command -v strace)" -f -qq -o "$trace" "$@" </dev/null >/dev/null 2>&1
  sed -e 's/^[0-9][0-9]* *//' "$trace" |
    awk '/^[a-z_0-9]+\(/ {
           name = $0; sub(/\(.*/, "", name)
           if (name == "openat") name = "open"
           else if (name ~ /^(newfstatat|fstatat64|statx|stat|stat64|lstat|lstat64|fstat|fstat64)$/)
             name = ($0 ~ /AT_EMPTY_PATH/ || name ~ /^fstat(64)?$/) ? "fstat" : "stat"
           else if (name == "fcntl64") name = "fcntl"
           else if (name == "unlinkat") name = "unlink"
           print name
         }'
  rm -f "$trace"
}

# after_startup TRUE_NAMES TOOL_NAMES: TOOL_NAMES less the leading calls it
# shares with /bin/true's (the loader and libc start-up), one per line.
after_startup() {
  awk -v floor="$1" -v tool="$2" 'BEGIN {
    nf = split(floor, f, "\n"); nt = split(tool, t, "\n")
    if (f[nf] == "exit_group") nf--
    for (i = 1; i <= nf && i <= nt && f[i] == t[i]; i++) ;
    for (; i <= nt; i++) if (t[i] != "") print t[i]
  }'
}

# expect_ok OPERATION: runs kembu OPERATION image.fw in the current directory
# and fails unless it reports success; figures of a failed run mean nothing.
expect_ok() {
  local output ok="Backup Ok!"
  [ "$1" = b ] || ok="Restore Ok!"
  output=$("$kembu" "$1" image.fw </dev/null)
  grep -q "$ok" <<<"$output" || { echo "kembu $1 image.fw in $PWD failed:$output" >&2; return 1; }
}

# check_calls LABEL ALLOWED... -- OBSERVED...: passes when the observed calls
# are the allowed ones in order, some possibly left out (but not all); calls
# breach (which the caller defines) otherwise.
check_calls() {
  local label=$1 verdict
  shift
  verdict=$(awk -v list="$*" 'BEGIN {
    n = split(list, w, " "); for (i = 1; w[i] != "--"; i++) a[++na] = w[i]
    for (i++; i <= n; i++) o[++no] = w[i]
    if (no == 0) { print "no call seen: is strace working?"; exit }
    j = 1
    for (i = 1; i <= no; i++) {
      while (j <= na && a[j] != o[i]) j++
      if (j > na) { print "call " i " (" o[i] ") is not allowed there"; exit }
      j++
    }
    if (no < na) print "ok, " (na - no) " fewer than allowed: the list can be tightened"
    else print "ok"
  }')
  echo "  $label: $verdict"
  [[ $verdict == ok* ]] || breach "$label makes a system call beyond the allowed list"
}
