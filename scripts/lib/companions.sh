# Shell helpers for scripts that run the companions: reading their
# summaries. Sourced, not run.

# sent_totals LOG: "POSES BYTES DIGEST" from the simulator's summary line.
sent_totals() {
  sed -n 's/^Sent \([0-9]*\) poses, \([0-9]*\) bytes, fnv1a64 \([0-9a-f]*\)\r\{0,1\}$/\1 \2 \3/p' "$1"
}

# received_totals LOG: "DATAGRAMS BYTES ONE_POSE DIGEST" from the receiver's
# summary line (ONE_POSE: datagrams of exactly 48 bytes).
received_totals() {
  sed -n 's/^Received \([0-9]*\) datagrams, \([0-9]*\) bytes, \([0-9]*\) of exactly 48 bytes, fnv1a64 \([0-9a-f]*\)\r\{0,1\}$/\1 \2 \3 \4/p' "$1"
}
