#!/usr/bin/env bash
# windows7_imports.sh <objdump> <program.exe>...: fails when a program imports a function that
# Windows 7 lacks, which keeps the program from starting there at all. The list names the later
# functions that the compiler's run-time libraries and the platform layer are known to reach for,
# and the API-set DLLs that only later versions have; such functions are looked up at run time.
set -euo pipefail
objdump=$1
shift
later='GetSystemTimePreciseAsFileTime|CreateFile2|CopyFile2|GetCurrentThreadStackLimits'
later+='|PrefetchVirtualMemory|SetThreadInformation|GetThreadInformation|GetProcessInformation'
later+='|SetProcessInformation|GetOverlappedResultEx|WaitOnAddress|WakeByAddressSingle'
later+='|WakeByAddressAll|CreateFileMappingFromApp|MapViewOfFileFromApp|GetFirmwareType'
later+='|SetThreadDescription|GetThreadDescription|GetDpiForWindow|GetDpiForMonitor'
later+='|SetProcessDpiAwareness|BCryptKeyDerivation|BCryptCreateMultiHash|api-ms-win-[a-z0-9-]+'
status=0
for program in "$@"; do
  if found=$("$objdump" -p "$program" | grep -Eo "\b($later)\b"); then
    echo "$program imports what Windows 7 lacks:" $found
    status=1
  fi
done
exit $status
