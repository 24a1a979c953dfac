<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>quillet::menuextra::ZRMenuExtra</name>
    <message>
        <source>NewVersionCheckTitle</source>
        <translation>A new version of Quillet is available</translation>
    </message>
    <message>
        <source>NewVersionCheckText</source>
        <translation>Quillet %1 can be downloaded from its web site. Do you want to open the download page?</translation>
    </message>
    <message>
        <source>NewVersionCheckGoToButton</source>
        <translation>Open Download Page</translation>
    </message>
    <message>
        <source>NewVersionCheckCancelButton</source>
        <translation>Not Now</translation>
    </message>
    <message>
        <source>DownloadURL</source>
        <translation>https://www.quillet.example/download.html</translation>
    </message>
    <message>
        <source>120_Quit QuilletMenu title</source>
        <translation>Quit the Quillet tray icon?</translation>
    </message>
    <message>
        <source>120_Quit QuilletMenu Message</source>
        <translation>Quitting also stops the protection of your Trash. Quillet puts the icon back at your next login.</translation>
    </message>
    <message>
        <source>120_Quit QuilletMenu Cancel Button</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>120_Quit QuilletMenu Quit Button</source>
        <translation>Quit and Stop Protection</translation>
    </message>
</context>
<context>
    <name>quillet::app::MainController</name>
    <message>
        <source>120_Copyright</source>
        <translation>© 2026 The Quillet developers. Free software.</translation>
    </message>
</context>
<context>
    <name>quillet::app::UpdatePresenter</name>
    <message>
        <source>NewVersionCheckTitle</source>
        <translation>A new version of Quillet is available</translation>
    </message>
    <message>
        <source>NewVersionCheckText</source>
        <translation>Quillet %1 can be downloaded from its web site. Do you want to open the download page?</translation>
    </message>
    <message>
        <source>NewVersionCheckGoToButton</source>
        <translation>Open Download Page</translation>
    </message>
    <message>
        <source>NewVersionCheckCancelButton</source>
        <translation>Not Now</translation>
    </message>
    <message>
        <source>DownloadURL</source>
        <translation>https://www.quillet.example/download.html</translation>
    </message>
    <message>
        <source>VersionUptodateTitle</source>
        <translation>Quillet is up to date</translation>
    </message>
    <message>
        <source>VersionUptodateText</source>
        <translation>You are running the newest version of Quillet.</translation>
    </message>
    <message>
        <source>OKButton</source>
        <translation>OK</translation>
    </message>
</context>
</TS>
