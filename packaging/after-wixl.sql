-- Applied by tools/package.sh (msibuild -q, one query per line) to the database wixl wrote:
-- what wixl 0.101 cannot express. Component attributes: 4 registry key path, 16 permanent,
-- 64 transitive (the condition is evaluated again at a reinstall), 128 never overwrite.
--
-- config.ini: installed only when absent, never overwritten, never removed.
UPDATE `Component` SET `Attributes` = 144 WHERE `Component` = 'SiteConfig'
-- The Run value only unless AUTOSTART=0; evaluated again when a site reinstalls with it.
UPDATE `Component` SET `Attributes` = 68, `Condition` = 'AUTOSTART <> "0"' WHERE `Component` = 'Autostart'
-- The stored port only when COMPORT is given, and kept at uninstall like the settings window's.
UPDATE `Component` SET `Attributes` = 84, `Condition` = 'COMPORT' WHERE `Component` = 'StoredPort'
-- SETTINGSPASSWORD's custom action: the installed pellarin.exe (2 + 16), deferred (1024), with
-- the installer's rights (2048), its command line never logged (8192, "hide target").
UPDATE `CustomAction` SET `Type` = 11282 WHERE `Action` = 'StoreSettingsPassword'
UPDATE `Property` SET `Value` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;SETTINGSPASSWORD' WHERE `Property` = 'SecureCustomProperties'
-- Once the installation has run, SETTINGSPASSWORD is emptied (51: set a property), so no
-- listing of the properties at the end of a log can hold it, even where MsiHiddenProperties is
-- not honoured (Wine's msiexec lists it).
INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('ForgetSettingsPassword', 51, 'SETTINGSPASSWORD', '')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('ForgetSettingsPassword', 'SETTINGSPASSWORD', 6602)
-- A sequence of our own moves wixl's RemoveExistingProducts behind InstallFinalize, where the
-- older product's components (the Run value among them) are still counted as installed when
-- the newer one decides what to keep: put it back right after InstallValidate, so an upgrade
-- removes the older product first and AUTOSTART=0 leaves no Run value behind.
UPDATE `InstallExecuteSequence` SET `Sequence` = 1401 WHERE `Action` = 'RemoveExistingProducts'
-- EventMessageFile as REG_EXPAND_SZ ("#%" prefix).
UPDATE `Registry` SET `Value` = '#%[INSTALLDIR]pellarin.dll' WHERE `Name` = 'EventMessageFile'
-- A rebuilt package of the same version replaces the installed one instead of installing
-- beside it: the upgrade range ends at this version inclusive (attributes 1 + 512). Attributes
-- is part of the table's key, so the row is replaced; @VERSION@ is the package's version, the
-- code is pellarin.wxs's UpgradeCode.
DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'
INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('{6B4C8E52-3D1A-4F7B-9A2E-5C0D8F1B7A34}', '@VERSION@', 513, 'WIX_UPGRADE_DETECTED')
-- Hangul texts, stored through a code page 949 string pool (package.sh forces it first).
UPDATE `Property` SET `Value` = '(주)Norvane' WHERE `Property` = 'Manufacturer'
UPDATE `Registry` SET `Key` = 'Software\(주)Norvane\(주)Norvane Pellarin\1.0' WHERE `Component_` = 'StoredPort'
UPDATE `Registry` SET `Key` = 'Software\(주)Norvane\Pellarin Installer' WHERE `Component_` = 'MenuShortcut'
UPDATE `Registry` SET `Key` = 'Software\(주)Norvane\Pellarin Installer' WHERE `Component_` = 'LogFolder'
UPDATE `LaunchCondition` SET `Description` = '이미 더 새로운 버전의 Pellarin이 설치되어 있습니다.' WHERE `Condition` = 'NOT WIX_DOWNGRADE_DETECTED'
-- The log folder is made by the installer (CreateFolder) with a protected DACL: SYSTEM and
-- Administrators full control over it and everything in it; Users may list it and create
-- files in it (this folder only), and CREATOR OWNER gets full control of each file, so a user
-- reads and appends to the files that user made and to no one else's.
-- 0x1200a3 = list, add file, traverse, read attributes, read control, synchronize.
INSERT INTO `CreateFolder` (`Directory_`, `Component_`) VALUES ('LOGDIR', 'LogFolder')
-- wixl's sequence has no folder actions: the standard ones at their standard places.
INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveFolders', 3600)
INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('CreateFolders', 3700)
CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, `LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` CHAR(0) NOT NULL, `Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)
INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`) VALUES ('LogFolderDacl', 'LOGDIR', 'CreateFolder', 'D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200a3;;;BU)(A;OIIO;FA;;;CO)')
