@echo off
rem tavorin-relay-start: double-click to relay through a whole session. The relay
rem ends whenever the device goes away (phone locked, cable pulled); this starts
rem it again until the window is closed or Ctrl-C is pressed.
setlocal

rem ===== Opentrack's UDP port. Change the number here, or give another port as
rem ===== the first argument (for example in a shortcut to this file).
set "udp_port=4242"

if not "%~1"=="" set "udp_port=%~1"

:start
"%~dp0tavorin-relay.exe" "%udp_port%"
set "status=%ERRORLEVEL%"
set "why="
if "%status%"=="0" set "why=the device ended the stream"
if "%status%"=="2" set "why=the device is not there, or the link broke"
rem A bad command line (1) or anything unforeseen will not mend itself by a
rem retry: keep the window open so its last lines can be read.
if not defined why goto stop
echo The relay ended: %why%. Starting it again in 2 seconds (Ctrl-C to stop).
rem Windows 7 and later, and wine, all have ping; timeout needs a console
rem input and is missing from wine. ping sends its 3 echoes a second apart.
ping -n 3 127.0.0.1 >nul
goto start

:stop
pause
exit /b %status%
