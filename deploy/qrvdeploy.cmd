@echo off
rem qrvdeploy.cmd: sets up the QRV 7310-zz5 PCI serial-port card from a
rem deployment package (Intune, Configuration Manager, a technician's
rem prompt), with the qrvinst exe that fits this Windows.
rem
rem   qrvdeploy.cmd     copies what the inf folder beside this file holds,
rem                     subfolders and all, into %WINDIR%\inf, then
rem                     installs the drivers
rem   qrvdeploy.cmd r   names the ports COM3 to COM6 and restarts each
rem                     renamed port; restart Windows only when it exits
rem                     with 3010 (a port in use takes its name then)
rem   qrvdeploy.cmd u   removes the card
rem
rem It runs qrvinst64.exe on 64-bit Windows, also when a 32-bit program (a
rem 32-bit deployment agent) started it, and qrvinst.exe on 32-bit Windows,
rem both from beside this file, with /strict, and exits with the exe's
rem status. It restarts nothing: a status of 3010 asks the caller to. Where it runs nothing, it says why in one
rem line and exits with
rem   1603  install: no inf folder beside it, or its files could not be copied
rem   1     Windows for a processor other than x86 or x64, or a log it
rem         cannot write
rem   87    an argument other than none, r or u
rem What it prints is also appended to %WINDIR%\Logs\Software\qrvinst.log,
rem after a line with the date, the time, the computer's name and the
rem command: deployment tools keep no console output. Past 1 MiB the log
rem becomes qrvinst.lo_ there, replacing an older one, and a new log begins.
rem
rem It runs as SYSTEM or as an administrator, so it writes only where a
rem standard user can neither create nor replace a file: %WINDIR%\inf and
rem its log folder under %WINDIR%\Logs. Nothing goes to ProgramData, a Temp
rem folder, the user profiles or the package folder, where a user could
rem have put a junction or a file of their own before it runs.
rem
rem Written for cmd.exe as Windows documents it and as Wine's cmd runs it
rem alike: a status is read on the line after the command, never with ||
rem after a redirection. The release zip carries this file with CRLF line
rem ends.

setlocal EnableExtensions DisableDelayedExpansion
set "here=%~dp0"
set "logdir=%WINDIR%\Logs\Software"
set "log=%logdir%\qrvinst.log"

set "command="%~f0""
if not "%~1"=="" set "command="%~f0" %*"
if not exist "%logdir%\" mkdir "%logdir%" 2>nul
if exist "%log%" call :roll_over "%log%"
>>"%log%" echo %DATE% %TIME% %COMPUTERNAME% %command%
if not exist "%log%" goto no_log

rem A 32-bit process on 64-bit Windows sees x86 in PROCESSOR_ARCHITECTURE
rem and the machine's own in PROCESSOR_ARCHITEW6432.
set "arch=%PROCESSOR_ARCHITEW6432%"
if not defined arch set "arch=%PROCESSOR_ARCHITECTURE%"
set "exe="
if /i "%arch%"=="AMD64" set "exe=qrvinst64.exe"
if /i "%arch%"=="x86" set "exe=qrvinst.exe"
if not defined exe goto other_processor

rem Only the exact lower-case r and u choose a mode, as for the exes.
set "mode=%~1"
set "tries=0"
if "%mode%"=="r" goto scratch
if "%mode%"=="u" goto scratch
if not "%mode%"=="" goto bad_argument
if not exist "%here%inf\" goto no_inf

rem The output of the step being run, shown and logged once it has ended,
rem goes to a scratch folder of this run's own in the log folder: mkdir
rem fails where the name is taken, so that two runs at once (a deployment
rem tool's and a technician's) never write, show or delete each other's.
:scratch
set /a tries+=1
set "scratch=%logdir%\qrvdeploy.%RANDOM%"
set "out=%scratch%\qrvdeploy.out"
mkdir "%scratch%" 2>nul
if not errorlevel 1 goto scratch_made
if %tries% LSS 100 goto scratch
goto no_scratch
:scratch_made
if not "%mode%"=="" goto run

rem The whole tree: driver packages often keep their .sys and .cat files in
rem subfolders that the INF files name.
xcopy /y /q /s /e "%here%inf\*" "%WINDIR%\inf\" >"%out%" 2>&1
if errorlevel 1 goto copy_failed
call :say "qrvdeploy.cmd: copied the files of %here%inf into %WINDIR%\inf."

:run
del "%out%" 2>nul
"%here%%exe%" %mode% /strict >"%out%" 2>&1
set "status=%ERRORLEVEL%"
if not exist "%out%" goto no_output
type "%out%"
>>"%log%" type "%out%"
rd /s /q "%scratch%"
exit /b %status%

:no_log
echo qrvdeploy.cmd: cannot write its log %log%; nothing was run.
exit /b 1

:other_processor
call :say "qrvdeploy.cmd: this Windows is for %arch% processors, not x86 or x64; nothing was run."
exit /b 1

:bad_argument
call :say "qrvdeploy.cmd: %mode% is not an argument it takes (none, r or u); nothing was run."
exit /b 87

:no_inf
call :say "qrvdeploy.cmd: there is no inf folder in %here% to copy into %WINDIR%\inf; nothing was run."
exit /b 1603

:copy_failed
>>"%log%" type "%out%"
rd /s /q "%scratch%"
call :say "qrvdeploy.cmd: could not copy the files of %here%inf into %WINDIR%\inf; nothing was run."
exit /b 1603

:no_output
rd /s /q "%scratch%"
:no_scratch
call :say "qrvdeploy.cmd: could not write %out%; %exe% was not run."
exit /b 1

rem roll_over <log>: past 1 MiB the log becomes qrvinst.lo_, replacing an
rem older one; the header written next begins a new log. Should the rename
rem fail, the log goes on growing rather than lose a run.
:roll_over
if %~z1 GTR 1048576 move /y "%~1" "%logdir%\qrvinst.lo_" >nul 2>&1
exit /b 0

rem say <line>: shows the line and appends it to the log.
:say
set "line=%~1"
setlocal EnableDelayedExpansion
echo !line!
>>"%log%" echo !line!
endlocal
exit /b 0
