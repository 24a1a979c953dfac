<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1">
<context>
    <name>SizeText</name>
    <message>
        <source>B</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>KB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>MB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>GB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1%2</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::BrowserTab</name>
    <message>
        <source>Cached items</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Selection</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete Selection...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete the selected items</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Empty Cache...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Empty the cache</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Recover...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Recover the selected items</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>All items</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>Last %n day(s)</source>
        <translation type="unfinished">
            <numerusform></numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Last %n hour(s)</source>
        <translation type="unfinished">
            <numerusform></numerusform>
        </translation>
    </message>
    <message>
        <source>By day</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show the items by day</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show all items in one list</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Age limit</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Search the cache</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Search</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Put Back</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Put the selected items back</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::CacheDragSource</name>
    <message>
        <source>The items cannot be dragged out.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>There is no private folder to prepare their copies in: XDG_RUNTIME_DIR is not set. Use Recover... to get them back.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The folder for their copies cannot be made: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The copies could not be prepared.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The items could not be copied to %1.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::CacheEmptier</name>
    <message>
        <source>Are you sure you want to delete files?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Files will be permanently deleted from your hard disk. This can&apos;t be undone.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Do not delete</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete files</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Deleting… %1 %</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Another emptying of the cache is running.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>A protection daemon was still running 10 seconds after the stop; the cache was emptied all the same.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Some items could not be deleted.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Do you want to uninstall the application?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>This will remove all cache folders.
Then, please move the application to the trash.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Uninstall</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Uninstallation terminated.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The application will now quit.
Drag it to the trash to finish uninstallation.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quit</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::CacheModel</name>
    <message>
        <source>Name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Date Modified</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Size</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Original location</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::CacheRecoverer</name>
    <message>
        <source>%1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Unable to recover file</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Items selected can not be recovered successfully. Maybe item/permissions on source or destination are damaged or disk encounter problem.
Try to recover again selecting a new destination...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Recovery</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Recover</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save into: </source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enter the name of the folder in wich you want to recover data:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Recovering items…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The recovery could not start.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Putting items back…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Putting the items back could not start.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>cannot restore %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Some items could not be put back.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::MainController</name>
    <message>
        <source>Quillet</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Status</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cache</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&amp;Quillet</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start protection</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Recover Selection...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Check for Updates...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Uninstall...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quit</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quillet Manual</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Bad System version!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>This version of Quillet do not work with this System.
Check our website to download the right version.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>120_Copyright</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Bad installation!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>This software MUST be installed on your System disk.
Make sure you copy the software in the Applications folder and try again.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>https://www.quillet.example/</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Version %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Upgrade your System</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The current Mac OS installed on your machine is not supported by this application.
 Upgrade your System or check our website to download updates.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Put Back</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::MainTabView</name>
    <message>
        <source>Tabs</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::PasswordAskPanel</name>
    <message>
        <source>Password</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enter the password of the cache browser</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enter the password of the cache browser:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Password message</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::PasswordCreationPanel</name>
    <message>
        <source>Password</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Choose a password for the cache browser</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Choose the password that opening the cache browser will ask for:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>New password</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Confirm the password</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Password creation message</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Password:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Confirm:</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::PasswordLock</name>
    <message>
        <source>Password are not identical, please try again!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The password was not stored</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The keyring did not store the password, so the cache browser is not locked:
%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Wrong Password !</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The keyring did not remove the password: %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::PasswordPanel</name>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::SettingsController</name>
    <message>
        <source>Some settings were not taken</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The settings file %1 holds values Quillet does not accept; their default values are used until you save the settings:
%2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Settings not saved!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>You made modifications to settings. Do you want to save modifications?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Do not save</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>A setting is out of range</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&quot;%1&quot; must be a whole number from %2 to %3, not &quot;%4&quot;. Nothing was saved.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The settings could not be saved</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quillet could not write its settings file:
%1
The settings in use have not changed.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection was not restarted</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The settings were saved, but a protection daemon was still running after it was asked to stop, so none was started again. Start the protection from the Status tab.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection was restarted with problems</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The settings were saved and the protection was started again, but:
%1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::SettingsTab</name>
    <message>
        <source>Protect the home Trash only</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Keep data for</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Days to keep data</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Do not keep files larger than</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Largest file kept, in megabytes</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Minimum free disk space, in percent</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy trashed items into the cache</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy trashed items</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Move trashed items into the cache</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Move trashed items</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Check for updates at launch</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Check Now</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Check for updates now</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show the tray icon</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Ask for a password to open the cache browser</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Uninstall...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Uninstall</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cache limits</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>days</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>MB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Keep at least</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>% of each disk free</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Application</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::StatusController</name>
    <message>
        <source>%1 items displayed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 items selected, %2%3</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stop Quillet?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Do you really want to stop? Files will not be saved anymore.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stop</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stop protection...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start protection</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 is not protected: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection could not be started.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No protection daemon is running after the start.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection started with problems.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection problem!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The protection seems to be damaged and not fully working. Your System can be damaged or Quillet is not installed correctly.
Be carefull, data may not be saved by Quillet.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Try to stop and relaunch</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Continue anyway</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::StatusTab</name>
    <message>
        <source>Protection is on</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection is ON</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection is off</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection is OFF</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection status, on</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Everything you put in the Trash is kept in the cache.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection status, off</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>What you put in the Trash is not kept: start the protection.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start or stop protection</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection daemons</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cache size</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Trash size</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cache share</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection daemons:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Size of the cache:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Size of the Trash:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copyright</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Version</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Web site</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stop</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::app::UpdatePresenter</name>
    <message>
        <source>NewVersionCheckTitle</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>NewVersionCheckText</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>NewVersionCheckGoToButton</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>NewVersionCheckCancelButton</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>DownloadURL</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>VersionUptodateTitle</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>VersionUptodateText</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OKButton</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>quillet::menuextra::ZRMenuExtra</name>
    <message>
        <source>Quillet</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection is off</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start protection</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stop protection</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Open Quillet</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Settings...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Check for Updates...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quit Quillet Tray</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection is on</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protection problem!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The protection seems to be damaged and not fully working. Your System can be damaged or Quillet is not installed correctly.
Be carefull, data may not be saved by Quillet.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Try to stop and relaunch</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Continue anyway</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>120_Quit QuilletMenu title</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>120_Quit QuilletMenu Message</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>120_Quit QuilletMenu Cancel Button</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>120_Quit QuilletMenu Quit Button</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>NewVersionCheckTitle</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>NewVersionCheckText</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>NewVersionCheckGoToButton</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>NewVersionCheckCancelButton</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>DownloadURL</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
