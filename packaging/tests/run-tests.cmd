@echo off
rem run-tests.cmd: runs the Quentra test suite on the 32-bit Quentra.dll beside
rem it, on a Windows test machine (or under wine32): every test of
rem quentra_tests.exe in a process of its own, as the build's test runner does,
rem then the short soak. README.md beside it says what the tests change on the
rem machine; this script saves that first and puts it back at the end.
setlocal EnableExtensions DisableDelayedExpansion
set "HERE=%~dp0"
if "%HERE:~-1%"=="\" set "HERE=%HERE:~0,-1%"
set "BACKUP=%HERE%\machine-backup"
set "RESULTS=%HERE%\results"
set "TESTS=%HERE%\results\tests.txt"
set "SUITE_KEY=HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\Corvelsafe.exe"
set "VAULT_KEY=HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\Corvelsafebox.exe"
set "BOOK_KEY=HKLM\SOFTWARE\CorvelSafe\Tavrik"
set "PROBE_KEY=HKLM\SOFTWARE\Quentra-tests-write-probe"
set /a PASSED=0, FAILED=0, SKIPPED=0, LISTED=0

if not "%~1"=="" goto :usage
if not exist "%HERE%\quentra_tests.exe" goto :incomplete
if not exist "%HERE%\Quentra.dll" goto :incomplete

rem The DLL under test sends its usage reports to the vendor's report server;
rem a test run must reach no further than this machine.
set "REPORT_HOST=@REPORT_HOST@"
call :report_host_is_loopback
if not "%LOOPBACK%"=="yes" goto :report_host_not_loopback

rem The tests read and write Chinese texts as code page 936 bytes, as the tray
rem does on the machines it serves.
set "ACP="
rem No pipes into find here or below: under Wine, find in a pipe finds nothing.
for /f "tokens=1,2,3" %%a in ('reg query "HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage" /v ACP 2^>nul') do if /i "%%a"=="ACP" set "ACP=%%c"
if not defined ACP echo run-tests: cannot read this machine's ANSI code page; the tests expect 936
if defined ACP if not "%ACP%"=="936" goto :wrong_codepage

rem The tests write the suite's registry keys under HKLM.
reg add "%PROBE_KEY%" /f /reg:32 >nul 2>&1
if errorlevel 1 goto :not_admin
reg delete "%PROBE_KEY%" /f /reg:32 >nul 2>&1

if not exist "%BACKUP%\" goto :no_leftover
echo run-tests: an earlier run did not finish; putting back what it saved first
call :restore
if errorlevel 1 goto :restore_failed
:no_leftover

set "DESKTOP="
for /f "tokens=1,2,*" %%a in ('reg query "HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders" /v Desktop 2^>nul') do if /i "%%a"=="Desktop" set "DESKTOP=%%c"
if not defined DESKTOP set "DESKTOP=%USERPROFILE%\Desktop"
set "COMMON_DESKTOP="
for /f "tokens=1,2,3,*" %%a in ('reg query "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders" /v "Common Desktop" 2^>nul') do if /i "%%a %%b"=="Common Desktop" set "COMMON_DESKTOP=%%d"
if not defined COMMON_DESKTOP if defined PUBLIC set "COMMON_DESKTOP=%PUBLIC%\Desktop"
if not defined COMMON_DESKTOP set "COMMON_DESKTOP=%ALLUSERSPROFILE%\Desktop"

echo run-tests: saving the suite's registry keys and the desktops' shortcuts in %BACKUP%
call :backup
if errorlevel 1 goto :backup_failed

if exist "%RESULTS%\" rmdir /s /q "%RESULTS%"
mkdir "%RESULTS%"
pushd "%HERE%"
quentra_tests.exe --gtest_list_tests >"%RESULTS%\list.txt" 2>&1
popd
for /f "usebackq delims=" %%L in ("%RESULTS%\list.txt") do call :collect "%%L"
if %LISTED% EQU 0 set /a FAILED+=1
if %LISTED% EQU 0 echo FAIL  quentra_tests.exe listed no tests; see %RESULTS%\list.txt
if %LISTED% GTR 0 for /f "usebackq delims=" %%T in ("%TESTS%") do call :run_test %%T

rem The short soak: handles, threads and private bytes stay flat.
pushd "%HERE%"
quentra-soak.exe 2000 100 >"%RESULTS%\soak_short.log" 2>&1
set "CODE=%ERRORLEVEL%"
popd
call :judge soak_short "%RESULTS%\soak_short.log" %CODE% program

set "RC=0"
if %FAILED% GTR 0 set "RC=1"
set "RESTORED=yes"
call :restore
if errorlevel 1 set "RESTORED=no"
if "%RESTORED%"=="no" set "RC=1"
if "%RESTORED%"=="no" echo run-tests: could not put everything back; what was saved is still in %BACKUP%
echo %LISTED% tests listed by quentra_tests.exe, %SKIPPED% skipped; logs in %RESULTS%
echo %PASSED% passed, %FAILED% failed
exit /b %RC%

rem --- one line of --gtest_list_tests: "Suite." or "  Test" ---
:collect
set "LINE=%~1"
if not "%LINE:~0,1%"==" " goto :collect_suite
for /f "tokens=1" %%t in ("%LINE%") do set "NAME=%SUITE%%%t"
rem Disabled tests are listed but never run, as with the build's test runner.
if not "%NAME:DISABLED_=%"=="%NAME%" exit /b 0
>>"%TESTS%" echo %NAME%
set /a LISTED+=1
exit /b 0
:collect_suite
set "SUITE=%LINE%"
exit /b 0

rem --- one test, in a process of its own ---
:run_test
set "LOG=%RESULTS%\%~1.log"
pushd "%HERE%"
"%HERE%\quentra_tests.exe" --gtest_filter=%~1 >"%LOG%" 2>&1
set "CODE=%ERRORLEVEL%"
popd
call :judge %1 "%LOG%" %CODE% test
exit /b 0

rem --- NAME LOG EXITCODE KIND: a test passed when it ran and passed; a filter
rem that matched nothing exits 0 too, so the exit code alone is not enough ---
:judge
if not "%~3"=="0" goto :judge_failed
if "%~4"=="program" goto :judge_passed
find "[  PASSED  ] 1 test." "%~2" >nul 2>&1 && goto :judge_passed
find "[  SKIPPED ] 1 test" "%~2" >nul 2>&1 && goto :judge_skipped
:judge_failed
set /a FAILED+=1
echo FAIL  %~1, exit code %~3; its output, kept in %~2:
type "%~2"
exit /b 0
:judge_passed
set /a PASSED+=1
echo ok    %~1
exit /b 0
:judge_skipped
set /a SKIPPED+=1
echo skip  %~1
exit /b 0

rem --- saves what the tests change: three registry keys (in the 32-bit view
rem that the 32-bit DLL sees), the desktop's shortcuts, which they delete, and
rem the common desktop's, one of which a test writes and deletes. Shortcuts
rem are plain files: a folder or a link (junction, symbolic link) named *.lnk
rem is the tester's, stays where it is and is never entered ---
:backup
set "STEP=make the folder %BACKUP%"
rem Built-in commands are judged by what they did: under Wine they leave the
rem error level as it was when they succeed, so "|| exit" would misfire.
mkdir "%BACKUP%\desktop" 2>nul
mkdir "%BACKUP%\common-desktop" 2>nul
if not exist "%BACKUP%\common-desktop\" exit /b 1
if not exist "%BACKUP%\desktop\" exit /b 1
>"%BACKUP%\desktop-folder.txt" echo %DESKTOP%
>"%BACKUP%\common-desktop-folder.txt" echo %COMMON_DESKTOP%
call :save_key "%SUITE_KEY%" suite
if errorlevel 1 exit /b 1
call :save_key "%VAULT_KEY%" vault
if errorlevel 1 exit /b 1
call :save_key "%BOOK_KEY%" bookkeeping
if errorlevel 1 exit /b 1
set "STEP=move the shortcuts of %DESKTOP%"
call :move_shortcuts "%DESKTOP%" "%BACKUP%\desktop"
if errorlevel 1 exit /b 1
set "STEP=move the shortcuts of %COMMON_DESKTOP%"
call :move_shortcuts "%COMMON_DESKTOP%" "%BACKUP%\common-desktop"
if errorlevel 1 exit /b 1
rem Only once the shortcuts are saved may the restore clear the desktop.
>"%BACKUP%\desktop-saved.txt" echo yes
exit /b 0

rem --- FROM INTO: moves every plain *.lnk file of FROM into INTO; hidden and
rem system files too, since the tests delete those as well. Answers in the
rem error level: Wine's cmd takes "call :label || ..." for a failure whatever
rem the label answered, so no call here is followed by || ---
:move_shortcuts
set "MOVE_FAILED="
if not exist "%~1\" exit /b 0
for /f "delims=" %%F in ('dir /b /a:-d "%~1\*.lnk" 2^>nul') do call :move_plain "%~1\%%F" "%~2"
if defined MOVE_FAILED exit /b 1
exit /b 0
:move_plain
call :is_plain "%~1"
if not defined PLAIN exit /b 0
move /y "%~1" "%~2\" >nul 2>&1
if exist "%~1" set "MOVE_FAILED=yes"
exit /b 0

rem --- FOLDER: deletes the plain *.lnk files the tests left in FOLDER, whose
rem own shortcuts were moved out before the tests ran ---
:delete_shortcuts
if not exist "%~1\" exit /b 0
for /f "delims=" %%F in ('dir /b /a:-d "%~1\*.lnk" 2^>nul') do call :delete_plain "%~1\%%F"
exit /b 0
:delete_plain
call :is_plain "%~1"
if not defined PLAIN exit /b 0
del /f /a /q "%~1" >nul 2>&1
exit /b 0

rem --- PATH: sets PLAIN=yes when PATH is a plain file, by its attributes
rem "drahscotl" (a letter where one is set): not a folder, junction or link to
rem a folder (d), not a link (l). Not by "if exist PATH\", which Wine answers
rem yes for a file ---
:is_plain
set "PLAIN="
set "ATTR=%~a1"
if not defined ATTR exit /b 0
if /i "%ATTR:~0,1%"=="d" exit /b 0
if /i "%ATTR:~8,1%"=="l" exit /b 0
set "PLAIN=yes"
exit /b 0

:save_key
set "STEP=save the key %~1"
reg query "%~1" /reg:32 >nul 2>&1 || goto :save_absent
reg export "%~1" "%BACKUP%\%~2.tmp" /y /reg:32 >nul 2>&1 || exit /b 1
ren "%BACKUP%\%~2.tmp" "%~2.reg" 2>nul
if not exist "%BACKUP%\%~2.reg" exit /b 1
exit /b 0
:save_absent
rem Marked with echo, and checked by its presence.
>"%BACKUP%\%~2.absent" echo absent
if not exist "%BACKUP%\%~2.absent" exit /b 1
exit /b 0

rem --- puts back what :backup saved, and removes the backup when all is back ---
:restore
set "SAVED_DESKTOP="
set "SAVED_COMMON="
if exist "%BACKUP%\desktop-folder.txt" set /p SAVED_DESKTOP=<"%BACKUP%\desktop-folder.txt"
if exist "%BACKUP%\common-desktop-folder.txt" set /p SAVED_COMMON=<"%BACKUP%\common-desktop-folder.txt"
call :restore_key "%SUITE_KEY%" suite
if errorlevel 1 exit /b 1
call :restore_key "%VAULT_KEY%" vault
if errorlevel 1 exit /b 1
call :restore_key "%BOOK_KEY%" bookkeeping
if errorlevel 1 exit /b 1
rem The tests' own shortcuts go; the saved ones come back.
if defined SAVED_DESKTOP if exist "%BACKUP%\desktop-saved.txt" call :delete_shortcuts "%SAVED_DESKTOP%"
if defined SAVED_DESKTOP call :move_shortcuts "%BACKUP%\desktop" "%SAVED_DESKTOP%"
if errorlevel 1 exit /b 1
if defined SAVED_COMMON call :move_shortcuts "%BACKUP%\common-desktop" "%SAVED_COMMON%"
if errorlevel 1 exit /b 1
rem The backup goes only when nothing of the tester's is left in it.
set "LEFT="
for /f "delims=" %%F in ('dir /b /a "%BACKUP%\desktop" 2^>nul') do set "LEFT=%%F"
for /f "delims=" %%F in ('dir /b /a "%BACKUP%\common-desktop" 2^>nul') do set "LEFT=%%F"
if defined LEFT exit /b 1
rmdir /s /q "%BACKUP%"
exit /b 0

:restore_key
rem A key that was never saved was never touched: the tests had not started.
if exist "%BACKUP%\%~2.reg" goto :restore_saved_key
if exist "%BACKUP%\%~2.absent" reg delete "%~1" /f /reg:32 >nul 2>&1
exit /b 0
:restore_saved_key
reg delete "%~1" /f /reg:32 >nul 2>&1
reg import "%BACKUP%\%~2.reg" /reg:32 >nul 2>&1 || exit /b 1
exit /b 0

:usage
echo usage: run-tests.cmd
echo   Runs every test of quentra_tests.exe, each in a process of its own, and
echo   the short soak, on the Quentra.dll beside it; see README.md. No arguments.
exit /b 2

rem --- sets LOOPBACK=yes when REPORT_HOST is this machine: by its address, or
rem by the address the name resolves to, which ping prints in brackets in
rem every language. Read from a file and compared by its first number, as
rem Wine's find misses it in a pipe and its cmd compares no substring ---
:report_host_is_loopback
set "LOOPBACK="
set "REPORT_ADDRESS=%REPORT_HOST%"
set "PING_OUT=%TEMP%\quentra-tests-ping.txt"
ping -n 1 -w 1000 %REPORT_HOST% >"%PING_OUT%" 2>nul
for /f "usebackq tokens=2 delims=[]" %%a in ("%PING_OUT%") do if "%REPORT_ADDRESS%"=="%REPORT_HOST%" set "REPORT_ADDRESS=%%a"
del "%PING_OUT%" >nul 2>&1
for /f "tokens=1 delims=." %%o in ("%REPORT_ADDRESS%") do if "%%o"=="127" set "LOOPBACK=yes"
if "%REPORT_ADDRESS%"=="::1" set "LOOPBACK=yes"
exit /b 0

:report_host_not_loopback
set "WHERE=resolves to %REPORT_ADDRESS%, not to this machine"
if "%REPORT_ADDRESS%"=="%REPORT_HOST%" set "WHERE=does not resolve to this machine"
echo run-tests: %REPORT_HOST% %WHERE%. The DLL under test
echo sends its usage reports there, and a test run must not reach the vendor's
echo report server. Add this line to the hosts file
echo %SystemRoot%\System32\drivers\etc\hosts ^(as administrator^):
echo     127.0.0.1 %REPORT_HOST%
echo then run again, and remove the line when the tests are done. Nothing was changed.
exit /b 2

:incomplete
echo run-tests: quentra_tests.exe or Quentra.dll is missing from %HERE%; unpack the whole bundle again
exit /b 2

:wrong_codepage
echo run-tests: this machine's ANSI code page is %ACP%, not 936. The tests read and
echo write Chinese texts as code page 936 bytes. Set the language for non-Unicode
echo programs to Chinese ^(Simplified, China^) in Control Panel, Region,
echo Administrative, and restart; under Wine, run with LANG=zh_CN.UTF-8.
exit /b 2

:not_admin
echo run-tests: cannot write under HKLM\SOFTWARE; the tests set the suite's registry
echo keys there. Run this from a command prompt opened with "Run as administrator".
exit /b 2

:restore_failed
echo run-tests: could not put back what an earlier run saved in %BACKUP%.
echo The .reg files there are the suite's registry keys ^(import them with
echo "reg import FILE /reg:32"^), desktop\ holds the desktop's shortcuts and
echo common-desktop\ the common desktop's.
echo Put them back by hand, then delete %BACKUP% and run again.
exit /b 2

:backup_failed
echo run-tests: could not %STEP%, saving what the tests change in
echo %BACKUP%; nothing was run. Putting back what was saved:
call :restore
if errorlevel 1 goto :restore_failed
exit /b 2

