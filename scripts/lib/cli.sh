# The command line of the scripts under scripts/, sourced by each of them:
# --help (or -h) prints the script's header comment and ends it with status 0
# before it does any work; an argument it does not take, or a bad value, ends
# it with status 2 and a message that names the argument.

cli_name=$(basename "$0")

# The header comment: the comment lines after the first line, up to the first
# line that is not a comment.
cli_usage() {
  sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"
}

cli_help() {
  local arg
  for arg in "$@"; do
    case $arg in --help | -h) cli_usage; exit 0 ;; esac
  done
}

cli_refuse() {
  cli_fail "unknown argument '$1'"
}

cli_fail() {
  echo "$cli_name: $* (see scripts/$cli_name --help)" >&2
  exit 2
}
