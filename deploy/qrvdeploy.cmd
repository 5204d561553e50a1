@echo off
rem qrvdeploy.cmd: sets up the QRV 7310-zz5 PCI serial-port card from a
rem deployment package (Intune, Configuration Manager, a technician's
rem prompt), with the qrvinst exe that fits this Windows.
rem
rem   qrvdeploy.cmd     sets the terminal up in one run. First it checks
rem                     (qrvinst /check). A terminal that is set up, and
rem                     whose Apps & features record names this version
rem                     and the driver files of this package, is left as
rem                     it is. Otherwise it keeps the exe, this file and
rem                     the package's inf folder (subfolders and all) in
rem                     %ProgramFiles%\qrvinst, installs the drivers and
rem                     names the ports COM3 to COM6 with the kept exe,
rem                     checks again and, when the terminal is set up,
rem                     writes the record (or removes it when not). It
rem                     exits with 0 when the names took effect, and with
rem                     3010 when Windows needs a restart, for the install
rem                     or for the names; where the ports come up only
rem                     after that restart, the next run finishes the job.
rem   qrvdeploy.cmd r   names the ports COM3 to COM6 and restarts each
rem                     renamed port; restart Windows only when it exits
rem                     with 3010 (a port in use takes its name then)
rem   qrvdeploy.cmd u   removes the card, then the record and the kept
rem                     folder; the driver package stays in Windows'
rem                     driver store
rem
rem It runs qrvinst64.exe on 64-bit Windows, also when a 32-bit program (a
rem 32-bit deployment agent) started it, and qrvinst.exe on 32-bit Windows,
rem with /strict, and exits with the exe's status. It restarts nothing: a
rem status of 3010 asks the caller to. Nothing of the package is copied
rem into %WINDIR%\inf: the exe reads the INF files from the inf folder
rem beside it, and Windows' own install puts the package into its driver
rem store. Every step that can fail says why in one line and ends the run
rem with a status of its own:
rem   1603  no inf folder beside it, a log, a scratch folder, the kept copy
rem         or the record that could not be written or removed
rem   1633  Windows for a processor other than x86 or x64
rem   87    an argument other than none, r or u
rem What it prints is also appended to %WINDIR%\Logs\Software\qrvinst.log,
rem after a line with the date, the time, the computer's name and the
rem command: deployment tools keep no console output. Past 1 MiB the log
rem becomes qrvinst.lo_ there, replacing an older one, and a new log begins.
rem
rem It runs as SYSTEM or as an administrator, so it writes only where a
rem standard user can neither create nor replace a file: its log folder
rem under %WINDIR%\Logs, its folder in Program Files (the 64-bit one on
rem 64-bit Windows) and its record under HKLM. Nothing goes to ProgramData,
rem a Temp folder, the user profiles or the package folder, where a user
rem could have put a junction or a file of their own before it runs.
rem
rem Written for cmd.exe as Windows documents it and as Wine's cmd runs it
rem alike: a status is read on the line after the command, never with ||
rem after a redirection. A path is only ever expanded inside quotes, and a
rem line to show is handed over in a variable, never as an argument of
rem call, which would expand its % and ^ once more; so the package may lie
rem in a folder whose name holds spaces, &, %, ^ or parentheses. The
rem release zip carries this file with CRLF line ends.

setlocal EnableExtensions DisableDelayedExpansion
set "here=%~dp0"
set "self=%~f0"
set "mode=%~1"
set "version=1.0"
set "logdir=%WINDIR%\Logs\Software"
set "log=%logdir%\qrvinst.log"
set "keepdir=%ProgramW6432%\qrvinst"
if not defined ProgramW6432 set "keepdir=%ProgramFiles%\qrvinst"
set "record=HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\qrvinst"
rem The 64-bit reg.exe writes the 64-bit view of the registry; a 32-bit
rem process on 64-bit Windows reaches it through Sysnative.
set "reg=%WINDIR%\System32\reg.exe"
if defined PROCESSOR_ARCHITEW6432 set "reg=%WINDIR%\Sysnative\reg.exe"

if not exist "%logdir%\" mkdir "%logdir%" 2>nul
if exist "%log%" call :roll_over
rem A log that cannot be written does not grow: that is the test of it.
set "size=0"
if exist "%log%" call :size_of_log
set "before=%size%"
set "arg="
if defined mode set "arg= %mode%"
setlocal EnableDelayedExpansion
>>"!log!" echo !DATE! !TIME! !COMPUTERNAME! "!self!"!arg!
endlocal
call :size_of_log
if %size% LEQ %before% goto no_log

rem A 32-bit process on 64-bit Windows sees x86 in PROCESSOR_ARCHITECTURE
rem and the machine's own in PROCESSOR_ARCHITEW6432.
set "arch=%PROCESSOR_ARCHITEW6432%"
if not defined arch set "arch=%PROCESSOR_ARCHITECTURE%"
set "exe="
if /i "%arch%"=="AMD64" set "exe=qrvinst64.exe"
if /i "%arch%"=="x86" set "exe=qrvinst.exe"
if not defined exe goto other_processor

rem Only the exact lower-case r and u choose a mode, as for the exes.
if not "%mode%"=="" if not "%mode%"=="r" if not "%mode%"=="u" goto bad_argument

rem The package folder is the current folder of what it runs; a network
rem path gets a drive letter of its own for that while the run lasts.
pushd "%here%" 2>nul
if errorlevel 1 goto no_folder

rem Scratch folders of runs that were killed are removed. A run that lives
rem holds its lock file open, and Windows deletes no file that another
rem handle holds open for reading or writing without sharing its deletion.
rem (The pattern stands unquoted: it lies in the Windows folder, whose path
rem holds no space, and Wine's cmd matches no quoted pattern of for /d.)
for /d %%D in (%logdir%\qrvdeploy.*) do (
  del /f /q "%%~D\qrvdeploy.lock" >nul 2>&1
  if not exist "%%~D\qrvdeploy.lock" rd /s /q "%%~D" 2>nul
)

rem The output of each step, shown and logged once it has ended, goes to
rem a scratch folder of this run's own in the log folder: mkdir fails where
rem the name is taken, so that two runs at once (a deployment tool's and a
rem technician's) never write, show or delete each other's. The run holds
rem the folder's lock open as the input of everything it does; a folder
rem another run removed before the lock was open is given up for a new one.
set "tries=0"
:scratch
set /a tries+=1
if %tries% GTR 100 goto no_scratch
set "scratch=%logdir%\qrvdeploy.%RANDOM%"
set "out=%scratch%\qrvdeploy.out"
mkdir "%scratch%" 2>nul
if errorlevel 1 goto scratch
type nul >"%scratch%\qrvdeploy.lock" 2>nul
if errorlevel 1 goto scratch
set "status="
set "unkeep="
call :main <"%scratch%\qrvdeploy.lock"
if not defined status goto scratch
rd /s /q "%scratch%" 2>nul
popd
if not defined unkeep exit /b %status%
rem The kept folder goes last, this file with it where it runs from there:
rem the block is read whole before it runs.
setlocal EnableDelayedExpansion
(
  rd /s /q "!keepdir!" 2>nul
  if exist "!keepdir!\" (
    set "line=qrvdeploy.cmd: could not remove !keepdir!."
    echo !line!
    >>"!log!" echo !line!
    exit /b 1603
  )
  exit /b %status%
)

:main
set "run=%here%%exe%"
if "%mode%"=="r" goto name
if "%mode%"=="u" goto remove
if not exist "%here%inf\" goto no_inf
set "folder=%here%inf"
call :identify
set "package_drivers=%drivers%"

rem A terminal that is set up from this package is left as it is.
set "step=/check"
call :step
if not exist "%out%" goto no_output
if %status% NEQ 0 goto set_up
call :read_record
if not "%recorded_version%"=="%version%" goto set_up_again
if not "%recorded_drivers%"=="%package_drivers%" goto set_up_again
if not exist "%keepdir%\%exe%" goto set_up_again
if not exist "%keepdir%\qrvdeploy.cmd" goto set_up_again
exit /b 0

:set_up_again
set "line=qrvdeploy.cmd: the terminal is set up, but Apps & features records no version %version% with the driver files of %here%inf; it installs and names the ports again."
call :say

:set_up
call :keep
if defined keep_failed goto keep_failed
set "run=%keepdir%\%exe%"
set "line=qrvdeploy.cmd: kept %exe%, qrvdeploy.cmd and the files of %here%inf in %keepdir%."
call :say
set "named="
set "step=/strict"
call :step
if not exist "%out%" goto no_output
if %status% NEQ 0 if %status% NEQ 3010 goto settle
set "installed=%status%"
set "step=r /strict"
call :step
if not exist "%out%" goto no_output
if %status% EQU 0 set "named=1"
if %status% EQU 3010 set "named=1"
rem The names took effect (0) or will at the restart (3010); ports that are
rem not there yet come up after the restart the install asked for, and the
rem next run names them.
if %status% EQU 0 set "status=%installed%"
if %installed% EQU 3010 set "status=3010"

rem settle: the record follows the final check. Set up after this run's
rem install and names, the terminal is recorded with this package; not
rem set up, it has no record; set up despite a failed step, it keeps the
rem record of what it was set up with.
:settle
set "result=%status%"
set "step=/check"
call :step
if not exist "%out%" goto no_output
set "checked=%status%"
set "status=%result%"
if %checked% NEQ 0 goto unrecord
if not defined named exit /b 0
call :write_record
if defined record_failed goto record_failed
set "line=qrvdeploy.cmd: recorded version %version% in Apps & features (%record%)."
call :say
exit /b 0

:unrecord
call :remove_record
if defined record_failed goto record_failed
exit /b 0

:name
set "step=r /strict"
call :step
if not exist "%out%" goto no_output
exit /b 0

:remove
set "step=u /strict"
call :step
if not exist "%out%" goto no_output
rem The card is gone, or goes at the restart: so do its record and the
rem kept folder.
if %status% NEQ 0 if %status% NEQ 3010 exit /b 0
call :remove_record
if defined record_failed goto record_failed
if exist "%keepdir%\" set "unkeep=1"
exit /b 0

:no_log
echo qrvdeploy.cmd: cannot write its log %log%; nothing was run.
exit /b 1603

:other_processor
set "line=qrvdeploy.cmd: this Windows is for %arch% processors, not x86 or x64; nothing was run."
call :say
exit /b 1633

:bad_argument
set "line=qrvdeploy.cmd: %mode% is not an argument it takes (none, r or u); nothing was run."
call :say
exit /b 87

:no_folder
set "line=qrvdeploy.cmd: cannot make %here% its current folder; nothing was run."
call :say
exit /b 1603

:no_scratch
popd
set "line=qrvdeploy.cmd: could not make a scratch folder in %logdir%; nothing was run."
call :say
exit /b 1603

rem The failures of main: each sets the run's status and returns; a failed
rem copy or registry change shows what xcopy or reg said, too.
:no_inf
set "line=qrvdeploy.cmd: there is no inf folder in %here%; nothing was run."
call :say
set "status=1603"
exit /b 0

:no_output
set "line=qrvdeploy.cmd: could not write %out%; %exe% was not run."
call :say
set "status=1603"
exit /b 0

:keep_failed
type "%out%"
>>"%log%" type "%out%"
set "line=qrvdeploy.cmd: could not keep %keep_failed% in %keepdir%; nothing more was run."
call :say
set "status=1603"
exit /b 0

:record_failed
type "%out%"
>>"%log%" type "%out%"
set "line=qrvdeploy.cmd: could not %record_failed% the Apps & features record %record%."
call :say
set "status=1603"
exit /b 0

rem step: runs the exe in run with the arguments in step, shows what it
rem printed and appends that to the log; status is its exit status.
rem Without its output file the caller runs nothing more.
:step
del "%out%" 2>nul
"%run%" %step% >"%out%" 2>&1
set "status=%ERRORLEVEL%"
if not exist "%out%" exit /b 0
type "%out%"
>>"%log%" type "%out%"
exit /b 0

rem keep: the copies in the kept folder; keep_failed names what could not
rem be kept. Only files newer than the kept ones are copied while the kept
rem INF files are this package's: a second run from the same package,
rem started while a first one installs from the kept folder, changes none
rem of the files that one runs or reads. Other driver files replace the
rem kept inf folder whole.
:keep
set "keep_failed="
if /i "%here%"=="%keepdir%\" exit /b 0
set "folder=%keepdir%\inf"
call :identify
set "newer=/d"
if not "%drivers%"=="%package_drivers%" set "newer="
if not defined newer if exist "%keepdir%\inf\" rd /s /q "%keepdir%\inf" 2>nul
if not exist "%keepdir%\" mkdir "%keepdir%" 2>nul
xcopy %newer% /y /q "%here%%exe%" "%keepdir%\" >"%out%" 2>&1
if errorlevel 2 set "keep_failed=%exe%"
if not exist "%keepdir%\%exe%" set "keep_failed=%exe%"
if defined keep_failed exit /b 0
xcopy %newer% /y /q "%self%" "%keepdir%\" >"%out%" 2>&1
if errorlevel 2 set "keep_failed=qrvdeploy.cmd"
if not exist "%keepdir%\qrvdeploy.cmd" set "keep_failed=qrvdeploy.cmd"
if defined keep_failed exit /b 0
xcopy %newer% /y /q /s /e "%here%inf\*" "%keepdir%\inf\" >"%out%" 2>&1
if errorlevel 2 set "keep_failed=the files of %here%inf"
set "folder=%keepdir%\inf"
call :identify
if not "%drivers%"=="%package_drivers%" set "keep_failed=the files of %here%inf"
exit /b 0

rem identify: drivers is what tells the driver files in folder apart: the
rem DriverVer (date and version) of each of the three INF files, which
rem Windows ranks drivers by, and the number and bytes of all its files.
:identify
set "drivers="
for %%I in (7310-zz5.inf qrvbased.inf qrvports.inf) do call :add_driverver %%I
set "files=0"
set "bytes=0"
if exist "%folder%\" for /r "%folder%" %%F in (*) do set /a "files+=1, bytes+=%%~zF"
set "drivers=%drivers%%files% files, %bytes% bytes"
exit /b 0

rem add_driverver <INF file>: that file's DriverVer, or none.
:add_driverver
set "driverver=none"
if exist "%folder%\%~1" for /f "usebackq eol=; tokens=1,* delims== " %%A in ("%folder%\%~1") do (
  if /i "%%A"=="DriverVer" set "driverver=%%B"
)
set "drivers=%drivers%%~1 %driverver%; "
exit /b 0

rem read_record: what the record names, recorded_version and
rem recorded_drivers; empty where there is no record.
:read_record
set "recorded_version="
set "recorded_drivers="
"%reg%" query "%record%" >"%out%" 2>nul
if errorlevel 1 exit /b 0
for /f "usebackq tokens=1,2,*" %%A in ("%out%") do (
  if "%%A"=="DisplayVersion" set "recorded_version=%%C"
  if "%%A"=="DriverFiles" set "recorded_drivers=%%C"
)
exit /b 0

rem write_record: the Apps & features entry of the kept folder, in the
rem 64-bit view; record_failed says what failed.
:write_record
set "record_failed="
set "bytes=0"
for /r "%keepdir%" %%F in (*) do set /a "bytes+=%%~zF"
set /a "kib=(bytes + 1023) / 1024"
rem The uninstall command as reg.exe's C run-time reads it (\" is a quote):
rem cmd.exe /c drops the outer pair of quotes and runs the kept file.
set "uninstall=\"%WINDIR%\System32\cmd.exe\" /c \"\"%keepdir%\qrvdeploy.cmd\" u\""
call :set_value DisplayName REG_SZ "QRV 7310-zz5 PCI Serial Port Installer"
call :set_value DisplayVersion REG_SZ "%version%"
call :set_value Publisher REG_SZ "QRV"
set "data=%keepdir%"
call :set_value InstallLocation REG_SZ
set "data=%uninstall%"
call :set_value UninstallString REG_SZ
call :set_value QuietUninstallString REG_SZ
call :set_value NoModify REG_DWORD 1
call :set_value NoRepair REG_DWORD 1
call :set_value EstimatedSize REG_DWORD %kib%
set "data=%package_drivers%"
call :set_value DriverFiles REG_SZ
exit /b 0

rem set_value <name> <type> [data]: one value of the record; without data
rem as the third argument, the data is the variable data (a path, shown to
rem call as a variable only).
:set_value
if defined record_failed exit /b 0
if not "%~3"=="" set "data=%~3"
setlocal EnableDelayedExpansion
"!reg!" add "!record!" /v %1 /t %2 /d "!data!" /f >"!out!" 2>&1
if errorlevel 1 (
  endlocal
  set "record_failed=write"
  exit /b 0
)
endlocal
exit /b 0

rem remove_record: the record goes, where there is one.
:remove_record
set "record_failed="
"%reg%" query "%record%" >nul 2>&1
if errorlevel 1 exit /b 0
"%reg%" delete "%record%" /f >"%out%" 2>&1
if errorlevel 1 set "record_failed=remove"
if defined record_failed exit /b 0
set "line=qrvdeploy.cmd: removed the Apps & features record %record%."
call :say
exit /b 0

rem roll_over: past 1 MiB the log becomes qrvinst.lo_, replacing an older
rem one; the header written next begins a new log. Should the rename fail,
rem the log goes on growing rather than lose a run.
:roll_over
call :size_of_log
if %size% GTR 1048576 move /y "%log%" "%logdir%\qrvinst.lo_" >nul 2>&1
exit /b 0

rem size_of_log: size is the log's size in bytes.
:size_of_log
for %%F in ("%log%") do set "size=%%~zF"
if not defined size set "size=0"
exit /b 0

rem say: shows the text in line and appends it to the log.
:say
setlocal EnableDelayedExpansion
echo !line!
>>"!log!" echo !line!
endlocal
exit /b 0
