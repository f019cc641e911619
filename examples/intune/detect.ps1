# Intune Win32 app: the custom detection script. The app counts as installed when zxflash /check
# finds nothing to update (exit code 0): every admitted drive runs the package's firmware, or
# has it installed and waiting for a restart, a power-off or a replug.
$program = Join-Path $env:ProgramFiles 'zxflash\zxflash.exe'
if (-not (Test-Path $program)) { exit 1 }
$check = Start-Process -FilePath $program -ArgumentList '/check' -Wait -PassThru -WindowStyle Hidden
if ($check.ExitCode -eq 0) {
    Write-Output 'zxflash: no update due'
    exit 0
}
exit 1
