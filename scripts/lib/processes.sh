# Shell helpers for scripts that start programs in the background: waits
# against a deadline, and an end to what they started. Sourced, not run.

# wait_for FILE TEXT SECONDS [PID]: true once FILE holds TEXT (a grep
# pattern); false at the deadline, or as soon as PID, if given, has ended
# without writing it.
wait_for() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    if [ -n "${4:-}" ] && ! kill -0 "$4" 2>/dev/null; then
      grep -q "$2" "$1" 2>/dev/null
      return
    fi
    sleep 0.1
  done
  return 1
}

# wait_exit PID SECONDS: waits up to SECONDS for a background job of this
# script; returns its exit status, or 124 if it is still running then.
wait_exit() {
  local i status=0
  for ((i = 0; i < $2 * 10; i++)); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$1" 2>/dev/null && return 124
  wait "$1" || status=$?
  return "$status"
}

# end_started [PATH...]: for an EXIT trap. Ends this script's background
# jobs that are still running, by their process ids, waits for them, then
# removes PATH. A job already waited for is no longer listed: its id may
# belong to another program by now.
end_started() {
  local pid
  for pid in $(jobs -rp); do kill "$pid" 2>/dev/null || true; done
  # Bounded: a job that ignores TERM gets KILL rather than holding the exit.
  for pid in $(jobs -rp); do wait_exit "$pid" 10 || kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ $# -eq 0 ] || rm -rf "$@"
}
