#!/usr/bin/env bash
# windows7_imports.sh <objdump> <program.exe>...: fails when a program imports what Windows 7 lacks
# (it would not start there): the later functions that the run-time libraries and the platform
# layer are known to reach for, and the API-set DLLs. Such functions are looked up at run time.
set -euo pipefail
objdump=$1
shift
later='GetSystemTimePreciseAsFileTime|CreateFile2|CopyFile2|GetCurrentThreadStackLimits|'\
'PrefetchVirtualMemory|[GS]etThreadInformation|[GS]etProcessInformation|GetOverlappedResultEx|'\
'WaitOnAddress|WakeByAddress(Single|All)|(CreateFileMapping|MapViewOfFile)FromApp|'\
'GetFirmwareType|[GS]etThreadDescription|GetDpiFor(Window|Monitor)|SetProcessDpiAwareness|'\
'BCryptKeyDerivation|BCryptCreateMultiHash|api-ms-win-[a-z0-9-]+'
status=0
for program in "$@"; do
  if found=$("$objdump" -p "$program" | grep -Eo "\b($later)\b"); then
    echo "$program imports what Windows 7 lacks:" $found
    status=1
  fi
done
exit $status
