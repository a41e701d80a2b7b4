#!/usr/bin/env bash
# HTTP reads bypass the WinINet cache, with the real installer under Wine and
# nginx serving everything as cacheable for a day:
#  - a hosted install (manifest and mirror objects over HTTP) leaves nothing
#    in the prefix's internet cache;
#  - files.ver replaced on the server is read afresh by the next run, which
#    installs the changed file.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/shortcut_checks.sh"
. "$(dirname "$0")/install_checks.sh"
keep_prefix_clean
export PELLINOR_LOG="$SCRATCH/pellinor.log"

hosted=$PROGRAM_DATA/Brevane/Azure
clean_hosted() { rm -rf "$hosted"; rmdir "$PROGRAM_DATA/Brevane" 2>/dev/null; true; }
trap 'cp "$PELLINOR_LOG" "$ARTIFACTS/no-cache-pellinor.log" 2>/dev/null; clean_hosted; remove_prefix_additions; cleanup' EXIT
clean_hosted

local_app=$("$WINE_RUN" cmd /c echo '%LOCALAPPDATA%' 2>/dev/null | tr -d '\r')
cache=$(prefix_path "$local_app\\Microsoft\\Windows\\INetCache")
[ -n "$local_app" ] && [ "$local_app" != '%LOCALAPPDATA%' ] && [ -n "$cache" ] || fail "no cache folder"
mkdir -p "$cache"
cache_facts() { printf '%s bytes, %s files' "$(du -sb "$cache" | cut -f1)" "$(find "$cache" -type f | wc -l)"; }

release="$SCRATCH/release"
make_release "$release"
web="$SCRATCH/web"
publish() {
  "$PUBLISH" --out="$web/install" --mirror="$web/mirror" --site=http://127.0.0.1:28080/mirror=2 \
    "$release" >/dev/null || fail "brevane-publish failed"
}
publish
start_nginx "$web" 28080 'add_header Cache-Control "public, max-age=86400" always; expires 1d;'
cp "$PELLINOR_EXE" "$SCRATCH/azureEN-x.exe"

# 1. Nothing of the install in the cache.
before=$(cache_facts)
run_wine 120 "$SCRATCH/azureEN-x.exe"
[ "$RUN_STATUS" -eq 0 ] || fail "hosted install exit code $RUN_STATUS"
check_installed "$release" - "$hosted" < <(manifest_entries "$web/install/files.ver" | grep -E '^(EN/|[^/]*$)')
[ "$CHECKED_COUNT" -eq 3 ] || fail "checked $CHECKED_COUNT of 3 files"
nginx_access_log 28080 | grep -q 'GET /mirror/.*help.txt' || fail "EN\\help.txt did not come from the mirror"
after=$(cache_facts)
[ "$after" = "$before" ] || fail "the install left data in the cache: $before before, $after after"
pass "hosted install from a mirror: cache unchanged ($after)"

# 2. A new files.ver, served as cacheable as the old one, is read afresh.
echo "english help, second release" >"$release/EN/help.txt"
touch -d '2013-04-16 11:21:32 UTC' "$release/EN/help.txt"
publish
run_wine 120 "$SCRATCH/azureEN-x.exe"
[ "$RUN_STATUS" -eq 0 ] || fail "second hosted install exit code $RUN_STATUS"
[ "$(nginx_access_log 28080 | grep -c 'GET /install/files.ver ')" -eq 2 ] ||
  fail "files.ver was not asked for again: $(nginx_access_log 28080 | grep files.ver)"
check_installed "$release" - "$hosted" < <(manifest_entries "$web/install/files.ver" | grep '^EN/')
[ "$(cache_facts)" = "$before" ] || fail "the second install left data in the cache: $(cache_facts)"
pass "replaced files.ver read afresh: the changed file installed"
