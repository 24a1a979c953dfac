<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>quillet::app::MainController</name>
    <message>
        <source>120_Copyright</source>
        <translation>© 2026 The Quillet developers</translation>
    </message>
</context>
</TS>
