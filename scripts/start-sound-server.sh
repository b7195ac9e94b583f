#!/bin/bash
# Starts a PulseAudio daemon for the sound-server tests (also as root on a
# fresh machine) with a null sink "zebnull" as the default sink. Clients find
# it at its standard place, so the tests need no environment of their own.
# Does nothing but make sure of the sink when a server already answers.
set -euo pipefail

SINK=zebnull

if ! command -v pulseaudio >/dev/null || ! command -v pactl >/dev/null; then
    echo "start-sound-server: pulseaudio and pulseaudio-utils are needed" >&2
    exit 1
fi

if ! pactl info >/dev/null 2>&1; then
    # A machine without a session bus or login session still runs the daemon:
    # no autospawn, no idle exit, only the modules loaded here.
    pulseaudio --daemonize=yes --system=false --exit-idle-time=-1 --disallow-exit \
        --disallow-module-loading=no --use-pid-file=yes --log-target=stderr --log-level=error \
        -n \
        --load="module-null-sink sink_name=$SINK sink_properties=device.description=Zeb_null_output" \
        --load="module-native-protocol-unix auth-anonymous=1"
    for _ in $(seq 1 50); do
        pactl info >/dev/null 2>&1 && break
        sleep 0.1
    done
fi

if ! pactl info >/dev/null 2>&1; then
    echo "start-sound-server: the server does not answer" >&2
    exit 1
fi

if ! pactl list short sinks | awk '{print $2}' | grep -qx "$SINK"; then
    pactl load-module module-null-sink sink_name=$SINK sink_properties=device.description=Zeb_null_output >/dev/null
fi
pactl set-default-sink "$SINK"
echo "start-sound-server: $(pactl info | grep -E '^(Server String|Default Sink)' | tr '\n' ' ')"
