# Sourced: starts a private Xvfb for tests and benchmarks, exports DISPLAY
# and stops the server when the calling script exits.
# -noreset: a game started right after another one quit must not find the
# server in the middle of a reset.
_xvfb_dir=$(mktemp -d)
Xvfb -displayfd 9 -screen 0 1024x768x24 -noreset -nolisten tcp 9>"$_xvfb_dir/display" >"$_xvfb_dir/log" 2>&1 &
_xvfb_pid=$!
trap 'kill $_xvfb_pid 2>/dev/null; rm -rf "$_xvfb_dir"' EXIT
for _ in $(seq 100); do
  [ -s "$_xvfb_dir/display" ] && break
  sleep 0.1
done
[ -s "$_xvfb_dir/display" ] || { echo "Xvfb did not start:"; cat "$_xvfb_dir/log"; exit 1; }
export DISPLAY=":$(cat "$_xvfb_dir/display")"
