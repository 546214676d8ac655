<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>AutoDismissTimeout</name>
    <message>
        <source>Never</source>
        <translation>Endlos</translation>
    </message>
    <message>
        <source>%1s</source>
        <translation>%1 s</translation>
    </message>
</context>
<context>
    <name>Camera</name>
    <message>
        <source>it offers no picture format</source>
        <translation>sie bietet kein Bildformat an</translation>
    </message>
    <message>
        <source>it offers only %1, which Quorvel cannot read</source>
        <translation>sie bietet nur %1 an, was Quorvel nicht lesen kann</translation>
    </message>
</context>
<context>
    <name>OverlayType</name>
    <message>
        <source>Sit Up Straight!</source>
        <translation>Setz dich gerade hin!</translation>
    </message>
    <message>
        <source>Time to Stand!</source>
        <translation>Zeit zum Aufstehen!</translation>
    </message>
    <message>
        <source>Drink Some Water!</source>
        <translation>Trink etwas Wasser!</translation>
    </message>
    <message>
        <source>Your posture could use a little love</source>
        <translation>Deine Haltung braucht etwas Zuwendung</translation>
    </message>
    <message>
        <source>Take a quick stretch break</source>
        <translation>Mach eine kurze Dehnpause</translation>
    </message>
    <message>
        <source>Stay hydrated, stay sharp</source>
        <translation>Genug trinken, wach bleiben</translation>
    </message>
    <message>
        <source>Posture Monitoring</source>
        <translation>Haltungsüberwachung</translation>
    </message>
    <message>
        <source>Stand Reminders</source>
        <translation>Ans Aufstehen erinnern</translation>
    </message>
    <message>
        <source>Water Reminders</source>
        <translation>Ans Trinken erinnern</translation>
    </message>
    <message>
        <source>Stand Interval</source>
        <translation>Aufstehen alle</translation>
    </message>
    <message>
        <source>Water Interval</source>
        <translation>Trinken alle</translation>
    </message>
</context>
<context>
    <name>PauseReason</name>
    <message>
        <source>Paused while the computer sleeps</source>
        <translation>Pausiert, solange der Computer schläft</translation>
    </message>
    <message>
        <source>Paused while the screen is locked</source>
        <translation>Pausiert, solange der Bildschirm gesperrt ist</translation>
    </message>
</context>
<context>
    <name>PoseModel</name>
    <message>
        <source>Pose model could not be loaded: </source>
        <translation>Das Haltungsmodell konnte nicht geladen werden: </translation>
    </message>
</context>
<context>
    <name>PostureStats</name>
    <message numerus="yes">
        <source>Today: %n slouch, %1</source>
        <translation>
            <numerusform>Heute: %n Haltungsfehler, %1</numerusform>
            <numerusform>Heute: %n Haltungsfehler, %1</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Today: %n slouches, %1</source>
        <translation>
            <numerusform>Heute: %n Haltungsfehler, %1</numerusform>
            <numerusform>Heute: %n Haltungsfehler, %1</numerusform>
        </translation>
    </message>
    <message>
        <source>%1m</source>
        <translation>%1 Min.</translation>
    </message>
    <message>
        <source>%1s</source>
        <translation>%1 s</translation>
    </message>
    <message>
        <source>Slouches per day, last 7 days</source>
        <translation>Haltungsfehler pro Tag, letzte 7 Tage</translation>
    </message>
    <message>
        <source>Slouches per day, last 30 days</source>
        <translation>Haltungsfehler pro Tag, letzte 30 Tage</translation>
    </message>
    <message numerus="yes">
        <source>%1: %n slouch</source>
        <translation>
            <numerusform>%1: %n Haltungsfehler</numerusform>
            <numerusform>%1: %n Haltungsfehler</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%1: %n slouches</source>
        <translation>
            <numerusform>%1: %n Haltungsfehler</numerusform>
            <numerusform>%1: %n Haltungsfehler</numerusform>
        </translation>
    </message>
    <message>
        <source>Range</source>
        <translation>Zeitraum</translation>
    </message>
</context>
<context>
    <name>PostureStatus</name>
    <message>
        <source>Good</source>
        <translation>Gut</translation>
    </message>
    <message>
        <source>Slouching</source>
        <translation>Krumme Haltung</translation>
    </message>
    <message>
        <source>No person detected</source>
        <translation>Niemand erkannt</translation>
    </message>
    <message>
        <source>Calibrating</source>
        <translation>Kalibrierung läuft</translation>
    </message>
    <message>
        <source>Not monitoring</source>
        <translation>Keine Überwachung</translation>
    </message>
</context>
<context>
    <name>ReminderInterval</name>
    <message>
        <source>%1 min</source>
        <translation>%1 Min.</translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation>%1 s</translation>
    </message>
</context>
<context>
    <name>SlouchSensitivity</name>
    <message>
        <source>Low</source>
        <translation>Niedrig</translation>
    </message>
    <message>
        <source>Medium</source>
        <translation>Mittel</translation>
    </message>
    <message>
        <source>High</source>
        <translation>Hoch</translation>
    </message>
</context>
<context>
    <name>StatsRange</name>
    <message>
        <source>Week</source>
        <translation>Woche</translation>
    </message>
    <message>
        <source>Month</source>
        <translation>Monat</translation>
    </message>
</context>
<context>
    <name>quorvel::CameraManager</name>
    <message>
        <source>No camera found</source>
        <translation>Keine Kamera gefunden</translation>
    </message>
    <message>
        <source>Camera input error: </source>
        <translation>Fehler am Kameraeingang: </translation>
    </message>
    <message>
        <source>Cannot add camera input</source>
        <translation>Kameraeingang kann nicht hinzugefügt werden</translation>
    </message>
    <message>
        <source>Cannot add video output</source>
        <translation>Videoausgabe kann nicht hinzugefügt werden</translation>
    </message>
    <message>
        <source>Camera interrupted (another app may be using it)</source>
        <translation>Kamera unterbrochen (vielleicht nutzt sie ein anderes Programm)</translation>
    </message>
    <message>
        <source>Camera not supported: it needs libcamera through PipeWire (install pipewire-libcamera)</source>
        <translation>Kamera nicht unterstützt: Sie braucht libcamera über PipeWire (Paket pipewire-libcamera installieren)</translation>
    </message>
    <message>
        <source>Camera pictures cannot be read (unsupported or damaged frames)</source>
        <translation>Kamerabilder können nicht gelesen werden (nicht unterstützte oder beschädigte Bilder)</translation>
    </message>
    <message>
        <source>Camera disconnected</source>
        <translation>Kamera getrennt</translation>
    </message>
    <message>
        <source>Camera stopped sending pictures</source>
        <translation>Die Kamera sendet keine Bilder mehr</translation>
    </message>
    <message>
        <source>Camera error, trying again: </source>
        <translation>Kamerafehler, neuer Versuch: </translation>
    </message>
</context>
<context>
    <name>quorvel::MenuBarView</name>
    <message>
        <source>Calibrated</source>
        <translation>Kalibriert</translation>
    </message>
    <message>
        <source>Recalibrate</source>
        <translation>Neu kalibrieren</translation>
    </message>
    <message>
        <source>Calibrate Posture</source>
        <translation>Haltung kalibrieren</translation>
    </message>
    <message>
        <source>Next</source>
        <translation>Nächste</translation>
    </message>
    <message>
        <source>Download</source>
        <translation>Herunterladen</translation>
    </message>
    <message>
        <source>Test Overlay</source>
        <translation>Hinweis testen</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Beenden</translation>
    </message>
    <message>
        <source>Update Available: v%1</source>
        <translation>Update verfügbar: v%1</translation>
    </message>
    <message>
        <source>Next: %1</source>
        <translation>Nächste: %1</translation>
    </message>
</context>
<context>
    <name>quorvel::MonitoringControl</name>
    <message>
        <source>Camera access denied. Enable in System Settings &gt; Privacy.</source>
        <translation>Kamerazugriff verweigert. In den Systemeinstellungen unter Datenschutz erlauben.</translation>
    </message>
</context>
<context>
    <name>quorvel::OverlayView</name>
    <message>
        <source>Click anywhere to dismiss</source>
        <translation>Zum Schließen irgendwo klicken</translation>
    </message>
    <message>
        <source>%1. Click anywhere to dismiss, or press Escape.</source>
        <translation>%1. Zum Schließen irgendwo klicken oder Escape drücken.</translation>
    </message>
    <message>
        <source>%1 dismissed</source>
        <translation>%1 geschlossen</translation>
    </message>
</context>
<context>
    <name>quorvel::PostureDetector</name>
    <message>
        <source>Pose model could not be loaded</source>
        <translation>Das Haltungsmodell konnte nicht geladen werden</translation>
    </message>
</context>
<context>
    <name>quorvel::QuorvelApp</name>
    <message>
        <source>Quorvel: %1</source>
        <translation>Quorvel: %1</translation>
    </message>
    <message>
        <source>Open Quorvel</source>
        <translation>Quorvel öffnen</translation>
    </message>
    <message>
        <source>Quit Quorvel</source>
        <translation>Quorvel beenden</translation>
    </message>
</context>
<context>
    <name>quorvel::SettingsSection</name>
    <message>
        <source>Settings</source>
        <translation>Einstellungen</translation>
    </message>
    <message>
        <source>Sensitivity</source>
        <translation>Empfindlichkeit</translation>
    </message>
    <message>
        <source>Auto-dismiss</source>
        <translation>Anzeigedauer</translation>
    </message>
</context>
</TS>
