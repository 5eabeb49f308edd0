# Shared by the recording stubs (sourced, not run).
#
# Each stub appends one line to $SANDBOX_DIR/stubs.log:
#     NAME [ARG1] [ARG2] ...
# every argument in brackets, so word boundaries stay visible ("[a b]" is one
# argument, "[a] [b]" two). A stub without arguments logs just its name.
# If $SANDBOX_DIR/NAME.out exists its content is written to standard output;
# the stub then exits with the number in $SANDBOX_DIR/NAME.exit, or 0.

: "${SANDBOX_DIR:=/var/log/sandbox}"

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
