# Shared by the recording stubs (sourced, not run).
#
# Each stub appends one line to $SANDBOX_DIR/stubs.log:
#     NAME [ARG1] [ARG2] ...
# every argument in brackets, so word boundaries stay visible ("[a b]" is one
# argument, "[a] [b]" two). A stub without arguments logs just its name.
# If $SANDBOX_DIR/NAME.out exists its content is written to standard output;
# the stub then exits with the number in $SANDBOX_DIR/NAME.exit, or 0.
#
# Each call of a stub, and of a stand-in in steps/, is also a step (see
# stub_step).

: "${SANDBOX_DIR:=/var/log/sandbox}"

# Step counting, for tests that stop the daemon at every command it runs.
# While $SANDBOX_DIR/step-target holds "N SIGNAL WHO [PAUSE]" (WHO: monitor
# or worker), every call appends one line "NAME [ARG1] ..." to
# $SANDBOX_DIR/steps.log, and the call that writes line N first sends signal
# number SIGNAL to WHO (the monitor of /run/tundrafoxd.pid, or its child),
# waits PAUSE seconds if given (a command that hangs), then goes on as usual. Nothing is written to standard output or read from
# standard input.
stub_step() {
    [ -f "$SANDBOX_DIR/step-target" ] || return 0
    step_line=$1
    shift
    for stub_arg in "$@"; do
        step_line="$step_line [$stub_arg]"
    done
    {
        flock 8
        printf '%s\n' "$step_line" >&8
        read -r step_at step_sig step_who step_pause <"$SANDBOX_DIR/step-target" || true
        if [ "$(wc -l <"$SANDBOX_DIR/steps.log")" = "$step_at" ]; then
            read -r step_pid <"/run/tundrafoxd.pid" || true
            if [ "$step_who" = worker ] && [ -n "$step_pid" ]; then
                # The list has no newline at its end.
                read -r step_pid _ <"/proc/$step_pid/task/$step_pid/children" || true
            fi
            [ -n "$step_pid" ] && kill "-$step_sig" "$step_pid"
            [ -z "$step_pause" ] || /usr/bin/sleep "$step_pause"
        fi
    } 8>>"$SANDBOX_DIR/steps.log"
}

stub_record() {
    stub_name=$1
    shift
    stub_line=$stub_name
    for stub_arg in "$@"; do
        stub_line="$stub_line [$stub_arg]"
    done
    # One printf, one write on an O_APPEND descriptor: concurrent stubs do
    # not interleave their lines.
    printf '%s\n' "$stub_line" >>"$SANDBOX_DIR/stubs.log"
    stub_step "$stub_name" "$@"
}

stub_status() {
    stub_code=0
    if [ -f "$SANDBOX_DIR/$1.exit" ]; then
        read -r stub_code <"$SANDBOX_DIR/$1.exit" || true
    fi
    echo "${stub_code:-0}"
}

stub_finish() {
    if [ -f "$SANDBOX_DIR/$1.out" ]; then
        cat "$SANDBOX_DIR/$1.out"
    fi
    exit "$(stub_status "$1")"
}
