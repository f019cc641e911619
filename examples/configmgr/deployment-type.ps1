# Configuration Manager: a script deployment type for the application "ZELTARIX SSD firmware",
# made with the ConfigurationManager module in a site's PowerShell session. The content folder
# holds zxflash.exe and the Intune app's install.cmd (examples/intune/), and the detection
# script is the Intune one, so both tools install and detect alike. The return codes of
# docs/fleet.md are entered on the deployment type's Return Codes tab.
param(
    [Parameter(Mandatory = $true)] [string] $ContentLocation
)
$detection = Get-Content -Raw (Join-Path $PSScriptRoot '..\intune\detect.ps1')
Add-CMScriptDeploymentType `
    -ApplicationName 'ZELTARIX SSD firmware' `
    -DeploymentTypeName 'zxflash unattended' `
    -ContentLocation $ContentLocation `
    -InstallCommand 'install.cmd' `
    -ScriptLanguage PowerShell `
    -ScriptText $detection `
    -InstallationBehaviorType InstallForSystem `
    -LogonRequirementType WhetherOrNotUserLoggedOn `
    -RebootBehavior BasedOnExitCode `
    -MaximumRuntimeMins 30
