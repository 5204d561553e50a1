@echo off
rem qrvdeploy.cmd: sets up the QRV 7310-zz5 PCI serial-port card from a
rem deployment package (Intune, Configuration Manager, a technician's
rem prompt), with the qrvinst exe that fits this Windows.
rem
rem   qrvdeploy.cmd     sets the terminal up in one run: first it checks
rem                     (qrvinst /check); on a terminal that is set up it
rem                     changes nothing. Otherwise it copies what the inf
rem                     folder beside this file holds, subfolders and all,
rem                     into %WINDIR%\inf, installs the drivers and names
rem                     the ports COM3 to COM6. It exits with 0 when the
rem                     names took effect, and with 3010 when Windows needs
rem                     a restart, for the install or for the names; where
rem                     the ports come up only after that restart, the next
rem                     run after it finishes the job.
rem   qrvdeploy.cmd r   names the ports COM3 to COM6 and restarts each
rem                     renamed port; restart Windows only when it exits
rem                     with 3010 (a port in use takes its name then)
rem   qrvdeploy.cmd u   removes the card, and the copy of the exe it kept
rem
rem It runs qrvinst64.exe on 64-bit Windows, also when a 32-bit program (a
rem 32-bit deployment agent) started it, and qrvinst.exe on 32-bit Windows,
rem both from beside this file, with /strict, and exits with the exe's
rem status. It restarts nothing: a status of 3010 asks the caller to. A
rem set-up run keeps a copy of that exe in %ProgramFiles%\qrvinst (the
rem 64-bit one on 64-bit Windows), which only administrators can write, for
rem detection rules and a technician's later "qrvinst64 /check". Where it
rem runs nothing, it says why in one line and exits with
rem   1603  no inf folder beside it, or its files could not be copied
rem   1     Windows for a processor other than x86 or x64, or a log it
rem         cannot write
rem   87    an argument other than none, r or u
rem What it prints is also appended to %WINDIR%\Logs\Software\qrvinst.log,
rem after a line with the date, the time, the computer's name and the
rem command: deployment tools keep no console output. Past 1 MiB the log
rem becomes qrvinst.lo_ there, replacing an older one, and a new log begins.
rem
rem It runs as SYSTEM or as an administrator, so it writes only where a
rem standard user can neither create nor replace a file: %WINDIR%\inf, its
rem log folder under %WINDIR%\Logs and the exe's folder in Program Files.
rem Nothing goes to ProgramData, a Temp folder, the user profiles or the
rem package folder, where a user could have put a junction or a file of
rem their own before it runs.
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
set "logdir=%WINDIR%\Logs\Software"
set "log=%logdir%\qrvinst.log"
set "keepdir=%ProgramW6432%\qrvinst"
if not defined ProgramW6432 set "keepdir=%ProgramFiles%\qrvinst"

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

rem The output of each step, shown and logged once it has ended, goes to
rem a scratch folder of this run's own in the log folder: mkdir fails where
rem the name is taken, so that two runs at once (a deployment tool's and a
rem technician's) never write, show or delete each other's.
set "tries=0"
:scratch
set /a tries+=1
set "scratch=%logdir%\qrvdeploy.%RANDOM%"
set "out=%scratch%\qrvdeploy.out"
mkdir "%scratch%" 2>nul
if not errorlevel 1 goto scratch_made
if %tries% LSS 100 goto scratch
goto no_scratch
:scratch_made
if "%mode%"=="r" goto name
if "%mode%"=="u" goto remove

rem A terminal that is set up is left as it is.
set "step=/check"
call :step
if not exist "%out%" goto no_output
if %status% NEQ 0 goto set_up
call :keep
goto done

:set_up
if not exist "%here%inf\" goto no_inf
rem The whole tree: driver packages often keep their .sys and .cat files in
rem subfolders that the INF files name. Only files newer than those in
rem %WINDIR%\inf are copied: a second run from the same package, started
rem while a first one installs, changes none of the files it reads.
xcopy /d /y /q /s /e "%here%inf\*" "%WINDIR%\inf\" >"%out%" 2>&1
if errorlevel 1 goto copy_failed
set "line=qrvdeploy.cmd: copied the files of %here%inf into %WINDIR%\inf."
call :say
set "step=/strict"
call :step
if not exist "%out%" goto no_output
if %status% NEQ 0 if %status% NEQ 3010 goto done
set "installed=%status%"
call :keep
set "step=r /strict"
call :step
if not exist "%out%" goto no_output
rem The names took effect (0) or will at the restart (3010); ports that are
rem not there yet come up after the restart the install asked for, and the
rem next run names them.
if %status% EQU 0 set "status=%installed%"
if %installed% EQU 3010 set "status=3010"
goto done

:name
set "step=r /strict"
call :step
if not exist "%out%" goto no_output
goto done

:remove
set "step=u /strict"
call :step
if not exist "%out%" goto no_output
rem The card is gone, or goes at the restart: so does the exe kept for it.
if %status% NEQ 0 if %status% NEQ 3010 goto done
if exist "%keepdir%\%exe%" del /f /q "%keepdir%\%exe%" 2>nul
if exist "%keepdir%\" rd "%keepdir%" 2>nul
goto done

:done
rd /s /q "%scratch%"
exit /b %status%

:no_log
echo qrvdeploy.cmd: cannot write its log %log%; nothing was run.
exit /b 1

:other_processor
set "line=qrvdeploy.cmd: this Windows is for %arch% processors, not x86 or x64; nothing was run."
call :say
exit /b 1

:bad_argument
set "line=qrvdeploy.cmd: %mode% is not an argument it takes (none, r or u); nothing was run."
call :say
exit /b 87

:no_inf
rd /s /q "%scratch%"
set "line=qrvdeploy.cmd: there is no inf folder in %here% to copy into %WINDIR%\inf; nothing was run."
call :say
exit /b 1603

:copy_failed
>>"%log%" type "%out%"
rd /s /q "%scratch%"
set "line=qrvdeploy.cmd: could not copy the files of %here%inf into %WINDIR%\inf; nothing was run."
call :say
exit /b 1603

:no_output
rd /s /q "%scratch%"
:no_scratch
set "line=qrvdeploy.cmd: could not write %out%; %exe% was not run."
call :say
exit /b 1

rem step: runs the exe with the arguments in step, shows what it printed
rem and appends that to the log; status is its exit status. Without its
rem output file the caller runs nothing more.
:step
del "%out%" 2>nul
"%here%%exe%" %step% >"%out%" 2>&1
set "status=%ERRORLEVEL%"
if not exist "%out%" exit /b 0
type "%out%"
>>"%log%" type "%out%"
exit /b 0

rem keep: the copy of the exe for detection rules and later checks, made
rem where it is missing or older than the package's.
:keep
if not exist "%keepdir%\" mkdir "%keepdir%" 2>nul
xcopy /d /y /q "%here%%exe%" "%keepdir%\" >nul 2>&1
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
