#!/usr/bin/env bash
# scripts/check-imports against one small Windows program per rule: a program that keeps every
# rule passes; each of the others breaks one, fails, and is told which function, DLL, version or
# instruction is at fault.
#
#   check_imports_test.sh CC CHECK-IMPORTS     (CC: i686-w64-mingw32-gcc-win32)
set -uo pipefail
cc=$1
check=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# Each program is built as the agent is: no C runtime (its own entry, Start, calls WinMain and
# ends the process) and the Pentium's instructions, unless RUNTIME=mingw asks for mingw-w64's
# start-up code and C runtime. EXTRA-FLAGS come after those.
entry='
#include <windows.h>
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int);
void Start(void) { ExitProcess((UINT)WinMain(GetModuleHandleA(NULL), NULL, GetCommandLineA(), 1)); }
'

# case NAME EXPECTED-STATUS EXPECTED-TEXT EXTRA-FLAGS... <<< C-SOURCE
case_() {
    local name=$1 want_status=$2 want_text=$3 flags=()
    shift 3
    if [ "${RUNTIME:-}" = mingw ]; then
        cat >"$work/$name.c"
    else
        { echo "$entry"; cat; } >"$work/$name.c"
        flags=(-march=pentium -mno-mmx -mno-sse -nostartfiles -nodefaultlibs -Wl,-e,_Start)
    fi
    if ! "$cc" -O1 -g -mwindows "${flags[@]}" "$work/$name.c" -o "$work/$name.exe" "$@" \
        -lkernel32 -luser32 -lgcc 2>"$work/$name.cc"; then
        echo "FAIL $name: does not build"; cat "$work/$name.cc"; failures=$((failures + 1)); return
    fi
    i686-w64-mingw32-objcopy --only-keep-debug "$work/$name.exe" "$work/$name.debug"
    local out status
    out=$("$check" "$work/$name.exe" 2>&1)
    status=$?
    if [ "$status" -ne "$want_status" ] || ! grep -qF -- "$want_text" <<<"$out"; then
        echo "FAIL $name: status $status (want $want_status), output:"; echo "$out"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

case_ clean 0 "all exported by Windows 95" <<'C'
#include <windows.h>
int WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s) {
    char text[32];
    wsprintfA(text, "%lu", GetTickCount());
    return MessageBoxA(NULL, text, "t", MB_OK) + (int)(INT_PTR)i + (int)(INT_PTR)p + c[0] + s;
}
C

case_ newer_kernel32_call 1 "KERNEL32.DLL!GetTickCount64, which KERNEL32.DLL of Windows 95" <<'C'
#include <windows.h>
int WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s) {
    (void)i; (void)p; (void)c; (void)s;
    return (int)GetTickCount64();
}
C

case_ wide_entry_point 1 "USER32.DLL!MessageBoxW, a wide-character entry point" <<'C'
#include <windows.h>
int WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s) {
    (void)i; (void)p; (void)c; (void)s;
    return MessageBoxW(NULL, L"text", L"caption", MB_OK);
}
C

case_ other_dll 1 "from WS2_32.DLL, a DLL outside" -lws2_32 <<'C'
#include <winsock2.h>
int WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s) {
    WSADATA data;
    (void)i; (void)p; (void)c; (void)s;
    return WSAStartup(MAKEWORD(1, 1), &data);
}
C

case_ subsystem_5 1 "Subsystem version 5.1" -Wl,--major-subsystem-version,5,--minor-subsystem-version,1 <<'C'
#include <windows.h>
int WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s) {
    (void)i; (void)p; (void)c; (void)s;
    return 0;
}
C

# A program with mingw-w64's own runtime imports msvcrt.dll, which the first Windows 95
# releases lack, and its start-up code holds cmov.
RUNTIME=mingw case_ c_runtime 1 "from MSVCRT.DLL, a DLL outside KERNEL32, USER32, GDI32 and ADVAPI32" <<'C'
#include <windows.h>
int WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s) {
    (void)i; (void)p; (void)c; (void)s;
    return 0;
}
C
RUNTIME=mingw case_ c_runtime_start_up 1 "instruction a Pentium lacks at" <<'C'
#include <windows.h>
int WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s) {
    (void)i; (void)p; (void)c; (void)s;
    return 0;
}
C

# The debug file beside the program names the function that holds the instruction.
case_ cmov 1 "in _Larger: cmov" -march=pentiumpro <<'C'
__attribute__((noinline)) int Larger(int a, int b) { return a > b ? a : b; }
int WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s) {
    (void)i; (void)p;
    return Larger(s, c[0]);
}
C

case_ fcomi 1 "in _Below: fcomi" -march=pentiumpro -mno-sse <<'C'
__attribute__((noinline)) int Below(double a, double b) { return a < b; }
int WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s) {
    (void)i; (void)p;
    return Below((double)s, (double)c[0]);
}
C

case_ sse 1 "in _Scaled: " -msse2 -mfpmath=sse <<'C'
#include <windows.h>
__attribute__((noinline)) double Scaled(double value) { return value * 1.5 + 0.25; }
int WINAPI WinMain(HINSTANCE i, HINSTANCE p, LPSTR c, int s) {
    (void)i; (void)p; (void)c;
    return (int)Scaled((double)s);
}
C

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
