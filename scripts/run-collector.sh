#!/usr/bin/env bash
# Installs what is missing, builds Kelvane and starts its telemetry collector on
# 127.0.0.1:47800 with the base path /API/: where a default build of the program posts its
# events, so that scripts/run.sh in another terminal talks to it. Events are kept in
# collector-data/collector.db (SQLite). The first run creates the dashboard account "admin"
# with a random password, kept in collector-data/admin-password (readable by its owner only).
# Further arguments go to "kelvane-collector serve" (for example --keep-file-names).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=build
scripts/install-deps.sh
scripts/build.sh "$build_dir"
collector="$build_dir/collector/kelvane-collector"
listen=127.0.0.1:47800

data="$PWD/collector-data"
database="sqlite:$data/collector.db"
password_file="$data/admin-password"
# The events and the password are for this user's eyes only.
umask 077
mkdir -p "$data"
if [ ! -s "$password_file" ]; then
    password="$(head -c 18 /dev/urandom | base64 | tr -d '+/=\n')"
    printf '%s\n' "$password" | "$collector" account --database "$database" --name admin
    printf '%s\n' "$password" > "$password_file.new"
    mv "$password_file.new" "$password_file"
fi
chmod 0600 "$password_file"

echo "Collector: http://$listen/API/ (events in $data/collector.db)"
echo "Dashboard: http://$listen/ : log in as \"admin\" with the password in $password_file"
echo "           (another account: $collector account --database $database --name NAME)"
echo "Start the program in another terminal with scripts/run.sh; Ctrl+C stops the collector."
exec "$collector" serve --listen "$listen" --database "$database" --base-path /API/ "$@"
