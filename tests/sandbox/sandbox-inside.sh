#!/usr/bin/env bash
# Second half of run-in-sandbox.sh, already inside the new mount namespace:
# builds the tree on a tmpfs, then runs the command chrooted into it.
set -euo pipefail
R=$SANDBOX_ROOT

fail() {
  echo "sandbox: cannot build the test sandbox: $1" >&2
  [ "${CI:-}" = "true" ] && exit 1
  exit 77
}

mount -t tmpfs -o mode=0755 smcd-sandbox "$R" || fail "tmpfs mount refused"

mkdir -p "$R"/private/{var,tmp,etc} "$R"/.overlay/{usr-upper,usr-work} "$R"/usr
ln -s private/var "$R/var"
ln -s private/tmp "$R/tmp"
ln -s private/etc "$R/etc"
chmod 1777 "$R/private/tmp"
mkdir -p "$R"/private/var/{folders,log,run,tmp,root} \
         "$R"/private/var/db/{receipts,diagnostics,DiagnosticPipeline,powerlog}
chmod 1777 "$R/private/var/tmp"

# The host's programs and libraries, read-only underneath a writable layer.
mount -t overlay overlay -o "lowerdir=/usr,upperdir=$R/.overlay/usr-upper,workdir=$R/.overlay/usr-work" "$R/usr" \
  || fail "overlay mount of /usr refused"
for name in lib lib64 lib32 libx32 sbin; do
  [ -e "/$name" ] && ln -s "usr/$name" "$R/$name"
done
# /bin is a real directory on macOS: the shell is reachable there and system
# tools such as /bin/launchctl can be placed beside it.
mkdir -p "$R/bin"
for tool in sh bash cat echo ls sleep kill; do
  [ -e "/usr/bin/$tool" ] && ln -s "/usr/bin/$tool" "$R/bin/$tool"
done

for f in ld.so.cache ld.so.conf nsswitch.conf hosts localtime; do
  [ -e "/etc/$f" ] && cp -L "/etc/$f" "$R/private/etc/$f"
done
[ -d /etc/ld.so.conf.d ] && cp -rL /etc/ld.so.conf.d "$R/private/etc/"
printf '%s\n' root:x:0:0:root:/var/root:/bin/sh daemon:x:1:1:daemon:/var/root:/bin/sh ann:x:501:20:Ann:/Users/ann:/bin/sh \
  bob:x:502:20:Bob:/Users/bob:/bin/sh nobody:x:65534:65534:nobody:/var/empty:/bin/sh > "$R/private/etc/passwd"
printf '%s\n' wheel:x:0: everyone:x:12:ann,bob staff:x:20:ann,bob admin:x:80: nogroup:x:65534: \
  > "$R/private/etc/group"

# macOS layout: homes, Library roots, application folders.
mkdir -p "$R"/Users/{ann,bob,Shared} \
         "$R"/Library/{Caches,"Application Support",Preferences,LaunchAgents,LaunchDaemons,PrivilegedHelperTools,Logs} \
         "$R"/Library/Apple/usr/share/rosetta/rosetta_update_bundle \
         "$R"/System/Library/Caches \
         "$R"/Applications/Utilities
chown 501:20 "$R/Users/ann"
chown 502:20 "$R/Users/bob"
chmod 0755 "$R/Users/ann" "$R/Users/bob"
chmod 1777 "$R/Users/Shared"

mkdir -p "$R/proc" "$R/dev"
mount --rbind /proc "$R/proc"
mount --rbind /dev "$R/dev"

while IFS= read -r dir; do
  [ -n "$dir" ] || continue
  mkdir -p "$R$dir"
  mount --bind "$dir" "$R$dir"
done <<< "$SANDBOX_BINDS"

cd "$R"
exec chroot "$R" /usr/bin/env HOME=/var/root TMPDIR=/private/tmp SMCD_IN_SANDBOX=1 \
  /bin/sh -c 'cd "$0" 2>/dev/null || cd /; exec "$@"' "$SANDBOX_CWD" "$@"
