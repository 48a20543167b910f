<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<!-- A small German translation for the tests: that the program loads one for the user's
     locale and that its texts go through it. -->
<context>
    <name>pstorian::CMainFrame</name>
    <message>
        <source>&amp;Open PST...</source>
        <translation>PST &amp;öffnen...</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Datei</translation>
    </message>
</context>
<context>
    <name>pstorian::WorkerTexts</name>
    <message>
        <source>Scanning file...</source>
        <translation>Datei wird durchsucht...</translation>
    </message>
</context>
</TS>
