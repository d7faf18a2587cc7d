#!/bin/sh
# keepalived's notify script: the server follows the VRRP state of this machine. keepalived
# calls it with: TYPE NAME STATE PRIORITY (INSTANCE VIDRA MASTER 150, say). The server keeps
# its own role otherwise: it never elects itself.
state="$3"
control=${VIDRA_CONTROL:+--control "$VIDRA_CONTROL"}
case "$state" in
    MASTER) role=main ;;
    BACKUP|FAULT|STOP) role=backup ;;
    *) exit 0 ;;
esac
# The server may still be starting when keepalived settles: a few tries, then a log line.
for try in 1 2 3 4 5; do
    if vidractl $control role "$role"; then
        exit 0
    fi
    sleep 1
done
logger -t vidra-notify "vidractl role $role failed (VRRP state $state)"
exit 1
