#!/bin/sh
# keepalived's check of this machine's VIDRA server: healthy while it serves. The control
# socket is the default one unless VIDRA_CONTROL names another.
exec vidractl ${VIDRA_CONTROL:+--control "$VIDRA_CONTROL"} health > /dev/null
