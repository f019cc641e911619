@echo off
rem Intune Win32 app: the install command is "install.cmd" (run as System). The package holds
rem this file and zxflash.exe; the program is copied to where the detection rule finds it, then
rem updates every drive its firmware package admits, unattended. Its exit code is the app's
rem return code (docs/fleet.md: enter 3020 and 1641 as the return codes of the table there).
set "DEST=%ProgramFiles%\zxflash"
if not exist "%DEST%" mkdir "%DEST%"
copy /y "%~dp0zxflash.exe" "%DEST%\zxflash.exe" >nul || exit /b 17
start "" /wait "%DEST%\zxflash.exe" /silent /report "%ProgramData%\zxflash\report.json" /log "%ProgramData%\zxflash\zxflash.log"
exit /b %ERRORLEVEL%
