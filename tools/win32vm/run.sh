#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs 32-bit Windows programs from a host folder under 32-bit Wine in an
# emulated Debian guest: one boot for the whole list, one timeout per program.
#
# Usage:
#   run.sh [options] DIR --job FILE        programs listed in FILE ('-': stdin)
#   run.sh [options] DIR -- PROGRAM [ARG...]   a single program
#
# DIR is shared with the guest and is the programs' working directory, so
# DLLs beside an .exe are found. Job file: one program per line, words split
# with shell-like quoting ('..', "..", \) but no expansion; blank lines and
# lines starting with # are skipped; a first word timeout=SECONDS overrides
# --timeout for that line.
#
# Options:
#   --timeout S      per-program limit inside the guest (default 60)
#   --vm-timeout S   host-side limit for the whole VM (default: 240 + sum of
#                    program limits + 20 per program)
#   --out DIR        keep per-program files there: N.stdout, N.stderr and
#                    results.tsv (index, status, exit, ms, command)
#   --env NAME=VAL   set a variable for the programs (repeatable), e.g.
#                    --env WINEDEBUG=+seh
#   --smp N          guest CPUs (default: host cores, at most 2)
#   --mem MB         guest memory (default 2048)
#   --no-build       fail instead of building a missing or stale image
#   --linux          the programs are Linux programs of the guest: no Wine
#   --guest FILE     another guest (sourced after lib.sh: its cache, emulator
#                    and builder), e.g. tools/linuxvm/arm64.sh
#   -h, --help       this text
#
# Exit status: 0 all programs exited 0; 1 at least one failed, timed out or
# did not run; 2 usage error; 3 no usable image; 4 the VM did not finish.
set -euo pipefail

VM_TOOLS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=lib.sh
source "$VM_TOOLS_DIR/lib.sh"

TIMEOUT=60
VM_TIMEOUT=""
OUT_DIR=""
SMP=""
MEM=2048
BUILD=yes
WORK_DIR=""
JOB_FILE=""
ENV_VARS=()
SINGLE=()
LINUX=no

# Filled by parse_job: one entry per program.
PROG_TIMEOUTS=()
PROG_ARGV=()    # each entry: the words, quoted for bash with printf %q
PROG_TEXT=()    # each entry: the same, as shown in status lines

CTL=""

usage() { sed -n '2,30s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; }
usage_error() { log "$*"; log "see: $0 --help"; exit 2; }

is_uint() { [[ $1 =~ ^[0-9]+$ ]]; }

parse_args() {
    while (($#)); do
        case $1 in
            --timeout) TIMEOUT=${2:?}; shift ;;
            --vm-timeout) VM_TIMEOUT=${2:?}; shift ;;
            --out) OUT_DIR=${2:?}; shift ;;
            --env) ENV_VARS+=("${2:?}"); shift ;;
            --smp) SMP=${2:?}; shift ;;
            --mem) MEM=${2:?}; shift ;;
            --job) JOB_FILE=${2:?}; shift ;;
            --no-build) BUILD=no ;;
            --linux) LINUX=yes ;;
            --guest)
                # shellcheck source=/dev/null
                source "${2:?}"
                shift
                ;;
            -h | --help) usage; exit 0 ;;
            --) shift; SINGLE=("$@"); break ;;
            -*) usage_error "unknown option: $1" ;;
            *) [[ -z $WORK_DIR ]] || usage_error "more than one DIR: $1"; WORK_DIR=$1 ;;
        esac
        shift
    done
    [[ -n $WORK_DIR ]] || usage_error "DIR is required"
    [[ -d $WORK_DIR ]] || usage_error "not a directory: $WORK_DIR"
    WORK_DIR=$(cd "$WORK_DIR" && pwd)
    [[ -n $JOB_FILE || ${#SINGLE[@]} -gt 0 ]] || usage_error "give --job FILE or -- PROGRAM"
    [[ -z $JOB_FILE || ${#SINGLE[@]} -eq 0 ]] || usage_error "give --job FILE or -- PROGRAM, not both"
    if ! is_uint "$TIMEOUT" || ((TIMEOUT == 0)); then usage_error "bad --timeout: $TIMEOUT"; fi
    [[ -z $VM_TIMEOUT ]] || is_uint "$VM_TIMEOUT" || usage_error "bad --vm-timeout: $VM_TIMEOUT"
    # More vCPUs than host cores only makes TCG guests crawl.
    if [[ -n $SMP ]] && { ! is_uint "$SMP" || ((SMP < 1 || SMP > $(nproc))); }; then
        usage_error "bad --smp: $SMP (1 to $(nproc))"
    fi
    is_uint "$MEM" || usage_error "bad --mem: $MEM"
    local v
    for v in ${ENV_VARS[@]+"${ENV_VARS[@]}"}; do
        [[ $v =~ ^[A-Za-z_][A-Za-z0-9_]*= ]] || usage_error "bad --env: $v"
    done
}

# add_program TIMEOUT WORD...
add_program() {
    local t=$1 w joined=""
    shift
    for w in "$@"; do joined+=" $(printf '%q' "$w")"; done
    PROG_TIMEOUTS+=("$t")
    PROG_ARGV+=("$joined")
    PROG_TEXT+=("${joined# }")
}

# Splits one job line into words with xargs' quoting rules, which give
# quotes and backslashes without any shell expansion of the line.
split_words() {
    xargs -r printf '%s\0' <<<"$1"
}

parse_job() {
    local src=$1 line n=0 words=() tmp t
    tmp=$(mktemp)
    while IFS= read -r line || [[ -n $line ]]; do
        n=$((n + 1))
        [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
        split_words "$line" >"$tmp" 2>/dev/null || { rm -f "$tmp"; usage_error "job line $n: bad quoting"; }
        mapfile -d '' words <"$tmp"
        t=$TIMEOUT
        if [[ ${words[0]} =~ ^timeout=([0-9]+)$ ]]; then
            t=${BASH_REMATCH[1]}
            words=("${words[@]:1}")
            ((t > 0)) || usage_error "job line $n: timeout must be positive"
        fi
        ((${#words[@]})) || usage_error "job line $n: no program"
        add_program "$t" "${words[@]}"
    done <"$src"
    rm -f "$tmp"
}

collect_programs() {
    if ((${#SINGLE[@]})); then
        add_program "$TIMEOUT" "${SINGLE[@]}"
    elif [[ $JOB_FILE == - ]]; then
        parse_job /dev/stdin
    else
        [[ -f $JOB_FILE ]] || usage_error "no such job file: $JOB_FILE"
        parse_job "$JOB_FILE"
    fi
    ((${#PROG_ARGV[@]})) || usage_error "the job lists no program"
}

ensure_image() {
    if [[ $BUILD == yes ]] && ! vm_cache_is_current; then
        "$VM_TOOLS_DIR/build-image.sh" >&2 || die "building the image failed" 3
    fi
    vm_cache_is_current || die "no current image in $VM_CACHE (run build-image.sh)" 3
}

# The guest side: a fixed runner plus the program list as quoted bash words.
# Outputs go to files on the share, never through $(...) or a pipe: a
# persistent wineserver would keep such a pipe open for ever.
write_guest_job() {
    local i v
    mkdir -p "$CTL/out"
    {
        echo 'set -u'
        echo '. /etc/velkor-wine.env'
        if [[ $LINUX == yes ]]; then echo 'LAUNCHER='; else echo 'LAUNCHER=wine'; fi
        for v in ${ENV_VARS[@]+"${ENV_VARS[@]}"}; do printf 'export %q\n' "$v"; done
        cat <<'EOF'
C=/velkor/ctl
date +%s.%N >$C/t.jobstart
# Programs run from a copy in the guest's own memory: large executables
# mapped straight from the 9p share have been seen to read as zero pages
# (a crash at start-up), while copying reads them whole.
mkdir -p /tmp/work && cp -a /velkor/work/. /tmp/work/ && cd /tmp/work || exit 90
if [ -n "$LAUNCHER" ]; then
    # One Wine server for the whole job: later programs skip Wine's start-up.
    wineserver -p >$C/wineserver.log 2>&1
    # Start Wine's own services now, so they do not count against program 1.
    timeout -k 10 300 wine cmd.exe /c exit 0 >$C/warmup.log 2>&1 </dev/null
    echo $? >$C/warmup.rc
fi
date +%s.%N >$C/t.warm

# run_one INDEX TIMEOUT PROGRAM [ARG...]
# timeout's own report goes to N.timeout, the program's stderr to N.stderr,
# so a program that exits 124 by itself is not taken for a timeout. Wine's
# report of an unhandled exception marks a crash whatever the exit status:
# after its debugger has run, a crashed program can exit 0.
run_one() {
    local n=$1 t=$2 start end rc timedout=no crashed=no
    shift 2
    start=$(date +%s%N)
    timeout --verbose -k 10 "$t" /bin/sh -c 'exec "$@" 2>"$0"' "$C/out/$n.stderr" \
        $LAUNCHER "$@" >"$C/out/$n.stdout" 2>"$C/out/$n.timeout" </dev/null
    rc=$?
    end=$(date +%s%N)
    grep -q 'sending signal' "$C/out/$n.timeout" && timedout=yes
    [ -n "$LAUNCHER" ] && grep -q '^wine: Unhandled' "$C/out/$n.stderr" && crashed=yes
    echo "rc=$rc ms=$(((end - start) / 1000000)) timedout=$timedout crashed=$crashed" >"$C/out/$n.tmp"
    mv "$C/out/$n.tmp" "$C/out/$n.result"
}
EOF
        for i in "${!PROG_ARGV[@]}"; do
            echo "run_one $((i + 1)) ${PROG_TIMEOUTS[i]}${PROG_ARGV[i]}"
        done
        [[ $LINUX == yes ]] || echo 'wineserver -k >/dev/null 2>&1'
        echo 'date +%s.%N >$C/t.jobend'
        echo 'exit 0'
    } >"$CTL/job.sh"
}

default_vm_timeout() {
    local t sum=240
    for t in "${PROG_TIMEOUTS[@]}"; do sum=$((sum + t + 20)); done
    echo "$sum"
}

boot() {
    local limit=${VM_TIMEOUT:-$(default_vm_timeout)} rc=0
    # One guest at a time: two guests of 2 vCPUs each on a 2-core host
    # starve each other and make every timing (and timeout) meaningless.
    mkdir -p "$(dirname "$VM_RUN_LOCK")"
    exec 8>"$VM_RUN_LOCK"
    if ! flock -n 8; then
        log "waiting for another win32vm run to finish"
        flock 8
    fi
    exec 9>"$VM_LOCK"
    flock -s 9    # no rebuild underneath a running guest
    vm_cache_is_current || die "image changed while waiting; run again" 3
    T_BOOT=$(date +%s.%N)
    vm_boot "$CTL" "$WORK_DIR" yes "$limit" "$CTL/console.log" "${SMP:-$(vm_default_smp)}" "$MEM" || rc=$?
    T_END=$(date +%s.%N)
    QEMU_RC=$rc
    VM_LIMIT=$limit
}

secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

print_stream() {
    [[ -s $1 ]] || return 0
    cat "$1"
    [[ -z $(tail -c1 "$1") ]] || echo
}

# Prints one program's output and status line; returns 0 only for a pass.
report_program() {
    local i=$1 n=$(($1 + 1)) total=${#PROG_ARGV[@]} res rc ms to status
    local tag="[$n/$total] ${PROG_TEXT[i]}"
    echo "$VM_NAME: ---- $tag"
    print_stream "$CTL/out/$n.stdout"
    if [[ -s $CTL/out/$n.stderr ]]; then
        echo "$VM_NAME: ---- stderr of [$n/$total]"
        print_stream "$CTL/out/$n.stderr"
    fi
    res=$(cat "$CTL/out/$n.result" 2>/dev/null || true)
    if [[ $res =~ ^rc=([0-9]+)\ ms=([0-9]+)\ timedout=(yes|no)\ crashed=(yes|no)$ ]]; then
        rc=${BASH_REMATCH[1]} ms=${BASH_REMATCH[2]} to=${BASH_REMATCH[3]}
        if [[ $to == yes ]]; then
            status=TIMEOUT
            echo "$VM_NAME: TIMEOUT $tag (killed after ${PROG_TIMEOUTS[i]} s, status $rc, $ms ms)"
        elif [[ ${BASH_REMATCH[4]} == yes ]]; then
            status=CRASH
            echo "$VM_NAME: CRASH   $tag (an unhandled exception, exit $rc, $ms ms)"
        elif ((rc == 0)); then
            status=PASS
            echo "$VM_NAME: PASS    $tag (exit 0, $ms ms)"
        else
            status=FAIL
            echo "$VM_NAME: FAIL    $tag (exit $rc, $ms ms)"
        fi
    else
        rc=- ms=- status=NOTRUN
        echo "$VM_NAME: NOTRUN  $tag (the VM stopped before it finished)"
    fi
    printf '%s\t%s\t%s\t%s\t%s\n' "$n" "$status" "$rc" "$ms" "${PROG_TEXT[i]}" >>"$CTL/out/results.tsv"
    [[ $status == PASS ]]
}

# Prints what the host can tell about a VM that did not finish its job.
report_vm_failure() {
    local why=$1
    log "the VM did not finish: $why"
    log "last console lines:"
    tail -n 25 "$CTL/console.log" >&2 2>/dev/null || true
    if [[ -s $CTL/job.log ]]; then
        log "guest job log:"
        tail -n 25 "$CTL/job.log" >&2
    fi
}

report() {
    local i passed=0 failed=0 vm_ok=yes job_rc
    : >"$CTL/out/results.tsv"
    for i in "${!PROG_ARGV[@]}"; do
        if report_program "$i"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    done
    job_rc=$(cat "$CTL/job.rc" 2>/dev/null || echo none)
    if [[ $QEMU_RC == 124 || $QEMU_RC == 137 ]]; then
        vm_ok=no; report_vm_failure "host-side limit of $VM_LIMIT s reached"
    elif [[ $job_rc != 0 ]]; then
        vm_ok=no; report_vm_failure "guest job status $job_rc, qemu status $QEMU_RC"
    fi
    if [[ $(cat "$CTL/warmup.rc" 2>/dev/null || echo 0) != 0 ]]; then
        log "note: Wine warm-up failed; see warmup.log"
        cat "$CTL/warmup.log" >&2 2>/dev/null || true
    fi
    report_timings
    echo "$VM_NAME: $passed passed, $failed failed"
    [[ $vm_ok == yes ]] || return 4
    ((failed == 0)) || return 1
    return 0
}

report_timings() {
    local js wm je msg
    js=$(cat "$CTL/t.jobstart" 2>/dev/null || true)
    wm=$(cat "$CTL/t.warm" 2>/dev/null || true)
    je=$(cat "$CTL/t.jobend" 2>/dev/null || true)
    msg="VM $(secs "$T_BOOT" "$T_END") s in all"
    [[ -n $js ]] && msg+=", boot $(secs "$T_BOOT" "$js") s"
    [[ -n $js && -n $wm && $LINUX == no ]] && msg+=", Wine start $(secs "$js" "$wm") s"
    [[ -n $wm && -n $je ]] && msg+=", programs $(secs "$wm" "$je") s"
    echo "$VM_NAME: $msg"
}

keep_outputs() {
    [[ -n $OUT_DIR ]] || return 0
    mkdir -p "$OUT_DIR"
    cp "$CTL"/out/*.stdout "$CTL"/out/*.stderr "$CTL/out/results.tsv" "$OUT_DIR"/ 2>/dev/null || true
    cp "$CTL/console.log" "$CTL/job.log" "$OUT_DIR"/ 2>/dev/null || true
}

cleanup() { [[ -n $CTL && -d $CTL ]] && rm -rf "$CTL"; return 0; }

main() {
    local rc=0
    parse_args "$@"
    collect_programs
    ensure_image
    CTL=$(mktemp -d "${TMPDIR:-/tmp}/velkor-win32vm.XXXXXX")
    trap cleanup EXIT
    write_guest_job
    boot
    report || rc=$?
    keep_outputs
    return "$rc"
}

main "$@"
