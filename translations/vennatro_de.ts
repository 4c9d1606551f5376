<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Fmt</name>
    <message>
        <source>Connection to [%s] completed.</source>
        <translation>Verbindung zu [%s] hergestellt.</translation>
    </message>
    <message>
        <source>Connection to [%s] completed.<byte value="xd"/>Response: %s</source>
        <translation>Verbindung zu [%s] hergestellt.<byte value="xd"/>Antwort: %s</translation>
    </message>
    <message>
        <source>Ping OK</source>
        <translation>Ping erfolgreich</translation>
    </message>
    <message>
        <source>Connection to [%s] aborted.</source>
        <translation>Verbindung zu [%s] abgebrochen.</translation>
    </message>
    <message>
        <source>Connection cancelled</source>
        <translation>Verbindung abgebrochen</translation>
    </message>
    <message>
        <source>Connection to [%s] failed.<byte value="xd"/>Error: %s</source>
        <translation>Verbindung zu [%s] fehlgeschlagen.<byte value="xd"/>Fehler: %s</translation>
    </message>
    <message>
        <source>Connection error</source>
        <translation>Verbindungsfehler</translation>
    </message>
    <message>
        <source>Unknown socket error (%d): %s.</source>
        <translation>Unbekannter Socket-Fehler (%d): %s.</translation>
    </message>
    <message>
        <source>Connection to [%s] restored after %s.</source>
        <translation>Verbindung zu [%s] nach %s wiederhergestellt.</translation>
    </message>
    <message>
        <source>Connection to [%s] is slow: %.3f seconds.</source>
        <translation>Verbindung zu [%s] ist langsam: %.3f Sekunden.</translation>
    </message>
    <message>
        <source>Slow connection</source>
        <translation>Langsame Verbindung</translation>
    </message>
    <message>
        <source>Certificate of [%s] expires in %d days (%s).</source>
        <translation>Das Zertifikat von [%s] läuft in %d Tagen ab (%s).</translation>
    </message>
    <message>
        <source>Certificate expiry</source>
        <translation>Ablauf des Zertifikats</translation>
    </message>
    <message>
        <source>Pinging %s (%d of %d attempts)</source>
        <translation>Ping an %s (Versuch %d von %d)</translation>
    </message>
    <message>
        <source>Pinging %s (%d of %d attempts, %d s)</source>
        <translation>Ping an %s (Versuch %d von %d, %d s)</translation>
    </message>
    <message>
        <source>Connection to [%s] completed (slow).</source>
        <translation>Verbindung zu [%s] hergestellt (langsam).</translation>
    </message>
    <message>
        <source>Connection to [%s] failed.</source>
        <translation>Verbindung zu [%s] fehlgeschlagen.</translation>
    </message>
    <message>
        <source>Enabled automatic ping to [%s] each %d minutes (next ping in %.2d:%.2d)</source>
        <translation>Automatischer Ping an [%s] alle %d Minuten (nächster Ping in %.2d:%.2d)</translation>
    </message>
    <message>
        <source>Sending notification email...</source>
        <translation>Benachrichtigungs-E-Mail wird gesendet …</translation>
    </message>
    <message>
        <source>This computer has no network connection: %d %s could not be checked.</source>
        <translation>Dieser Computer hat keine Netzwerkverbindung: %d %s konnten nicht geprüft werden.</translation>
    </message>
    <message>
        <source>Network connection lost</source>
        <translation>Netzwerkverbindung verloren</translation>
    </message>
    <message>
        <source>Network connection back after %s.</source>
        <translation>Netzwerkverbindung nach %s wieder da.</translation>
    </message>
    <message>
        <source>Network connection back</source>
        <translation>Netzwerkverbindung wieder da</translation>
    </message>
    <message>
        <source>Connection to [%s] not checked.</source>
        <translation>Verbindung zu [%s] nicht geprüft.</translation>
    </message>
    <message>
        <source>No network connection</source>
        <translation>Keine Netzwerkverbindung</translation>
    </message>
</context>
<context>
    <name>InstanceStart</name>
    <message>
        <source>Vennatro already runs as a service (vennatro --serve) in this session; stop it before starting the window (systemctl --user stop vennatro).</source>
        <translation>Vennatro läuft in dieser Sitzung bereits als Dienst (vennatro --serve); beenden Sie ihn, bevor Sie das Fenster starten (systemctl --user stop vennatro).</translation>
    </message>
    <message>
        <source>Vennatro cannot start.

%1</source>
        <translation>Vennatro kann nicht starten.

%1</translation>
    </message>
</context>
<context>
    <name>PingNotifier</name>
    <message>
        <source>address</source>
        <translation>Adresse</translation>
    </message>
    <message>
        <source>addresses</source>
        <translation>Adressen</translation>
    </message>
</context>
<context>
    <name>PingTarget</name>
    <message>
        <source>Only HTTP and HTTPS protocols are supported.</source>
        <translation>Nur die Protokolle HTTP und HTTPS werden unterstützt.</translation>
    </message>
    <message>
        <source>Invalid port in the address.</source>
        <translation>Ungültiger Port in der Adresse.</translation>
    </message>
</context>
<context>
    <name>THistoryWindow</name>
    <message>
        <source>n/a</source>
        <translation>k. A.</translation>
    </message>
    <message>
        <source>%1 ms</source>
        <translation>%1 ms</translation>
    </message>
    <message>
        <source>%1 %</source>
        <translation>%1 %</translation>
    </message>
    <message>
        <source>Vennatro history.csv</source>
        <translation>Vennatro-Verlauf.csv</translation>
    </message>
    <message>
        <source>Vennatro history %1.csv</source>
        <translation>Vennatro-Verlauf %1.csv</translation>
    </message>
    <message>
        <source>History</source>
        <translation>Verlauf</translation>
    </message>
    <message>
        <source>&amp;Address:</source>
        <translation>&amp;Adresse:</translation>
    </message>
    <message>
        <source>&amp;Range:</source>
        <translation>&amp;Zeitraum:</translation>
    </message>
    <message>
        <source>Last hour</source>
        <translation>Letzte Stunde</translation>
    </message>
    <message>
        <source>Last day</source>
        <translation>Letzter Tag</translation>
    </message>
    <message>
        <source>Last week</source>
        <translation>Letzte Woche</translation>
    </message>
    <message>
        <source>Last 30 days</source>
        <translation>Letzte 30 Tage</translation>
    </message>
    <message>
        <source>&amp;Export CSV...</source>
        <translation>Als CSV &amp;exportieren …</translation>
    </message>
    <message>
        <source>Pings completed:</source>
        <translation>Erfolgreiche Pings:</translation>
    </message>
    <message>
        <source>Min:</source>
        <translation>Min.:</translation>
    </message>
    <message>
        <source>Average:</source>
        <translation>Mittelwert:</translation>
    </message>
    <message>
        <source>95th percentile:</source>
        <translation>95. Perzentil:</translation>
    </message>
    <message>
        <source>Max:</source>
        <translation>Max.:</translation>
    </message>
    <message>
        <source>Uptime 24 h:</source>
        <translation>Verfügbarkeit 24 h:</translation>
    </message>
    <message>
        <source>Uptime 7 days:</source>
        <translation>Verfügbarkeit 7 Tage:</translation>
    </message>
    <message>
        <source>Uptime 30 days:</source>
        <translation>Verfügbarkeit 30 Tage:</translation>
    </message>
    <message>
        <source>Export history as</source>
        <translation>Verlauf exportieren als</translation>
    </message>
    <message>
        <source>CSV files (*.csv)</source>
        <translation>CSV-Dateien (*.csv)</translation>
    </message>
    <message>
        <source>All files (*.*)</source>
        <translation>Alle Dateien (*.*)</translation>
    </message>
    <message>
        <source>No pings recorded yet. Ping an address, or watch one, and its history shows here.</source>
        <translation>Noch keine Pings aufgezeichnet. Pingen oder beobachten Sie eine Adresse, dann erscheint hier ihr Verlauf.</translation>
    </message>
    <message>
        <source>Choose an address above to see its pings.</source>
        <translation>Wählen Sie oben eine Adresse, um ihre Pings zu sehen.</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>Zeit</translation>
    </message>
    <message>
        <source>Time, single pings</source>
        <translation>Zeit, einzelne Pings</translation>
    </message>
    <message>
        <source>Failures</source>
        <translation>Fehlschläge</translation>
    </message>
    <message>
        <source>%1 – failed</source>
        <translation>%1 – fehlgeschlagen</translation>
    </message>
    <message>
        <source>Cannot write &quot;%1&quot;: %2</source>
        <translation>„%1“ kann nicht geschrieben werden: %2</translation>
    </message>
</context>
<context>
    <name>TNotifyIconForm</name>
    <message>
        <source>E&amp;xit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Beenden</translation>
    </message>
    <message>
        <source>&amp;Show</source>
        <translation>&amp;Anzeigen</translation>
    </message>
    <message>
        <source>Show main window</source>
        <translation>Hauptfenster anzeigen</translation>
    </message>
    <message>
        <source>&amp;Close window</source>
        <translation>Fenster s&amp;chließen</translation>
    </message>
</context>
<context>
    <name>TWatchPanel</name>
    <message>
        <source>now</source>
        <translation>jetzt</translation>
    </message>
    <message>
        <source>Pinging</source>
        <translation>Ping läuft</translation>
    </message>
    <message>
        <source>Watched addresses</source>
        <translation>Beobachtete Adressen</translation>
    </message>
    <message>
        <source>Address to watch (empty: the address box&apos;s)</source>
        <translation>Zu beobachtende Adresse (leer: die aus dem Adressfeld)</translation>
    </message>
    <message>
        <source>Add</source>
        <translation>Hinzufügen</translation>
    </message>
    <message>
        <source>Watch this address</source>
        <translation>Diese Adresse beobachten</translation>
    </message>
    <message>
        <source>Remove</source>
        <translation>Entfernen</translation>
    </message>
    <message>
        <source>Stop watching (Delete)</source>
        <translation>Nicht mehr beobachten (Entf)</translation>
    </message>
    <message>
        <source>Move up</source>
        <translation>Nach oben</translation>
    </message>
    <message>
        <source>Move down</source>
        <translation>Nach unten</translation>
    </message>
    <message>
        <source>Failing first</source>
        <translation>Ausfälle zuerst</translation>
    </message>
    <message>
        <source>Show the addresses that are down at the top</source>
        <translation>Ausgefallene Adressen oben anzeigen</translation>
    </message>
    <message>
        <source>State</source>
        <translation>Zustand</translation>
    </message>
    <message>
        <source>Address</source>
        <translation>Adresse</translation>
    </message>
    <message>
        <source>Last ping</source>
        <translation>Letzter Ping</translation>
    </message>
    <message>
        <source>Last result</source>
        <translation>Letztes Ergebnis</translation>
    </message>
    <message>
        <source>Uptime 24 h</source>
        <translation>Verfügbarkeit 24 h</translation>
    </message>
    <message>
        <source>Next ping</source>
        <translation>Nächster Ping</translation>
    </message>
    <message>
        <source>pinging</source>
        <translation>läuft</translation>
    </message>
    <message>
        <source>Click a column to sort by it</source>
        <translation>Klicken Sie auf eine Spalte, um danach zu sortieren</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>Warnung</translation>
    </message>
    <message>
        <source>... and %1 more.</source>
        <translation>… und %1 weitere.</translation>
    </message>
    <message>
        <source>%1 of %2 addresses added. Not added:
</source>
        <translation>%1 von %2 Adressen hinzugefügt. Nicht hinzugefügt:
</translation>
    </message>
    <message>
        <source>Removed %1. &lt;a href=&quot;undo&quot;&gt;Undo&lt;/a&gt; (Ctrl+Z)</source>
        <translation>%1 entfernt. &lt;a href=&quot;undo&quot;&gt;Rückgängig&lt;/a&gt; (Strg+Z)</translation>
    </message>
    <message>
        <source>Ping now</source>
        <translation>Jetzt pingen</translation>
    </message>
    <message>
        <source>Copy address</source>
        <translation>Adresse kopieren</translation>
    </message>
    <message>
        <source>Copy last result</source>
        <translation>Letztes Ergebnis kopieren</translation>
    </message>
    <message>
        <source>History</source>
        <translation>Verlauf</translation>
    </message>
    <message>
        <source>Up, slow</source>
        <translation>Erreichbar, langsam</translation>
    </message>
    <message>
        <source>Not checked</source>
        <translation>Nicht geprüft</translation>
    </message>
    <message>
        <source>Address to watch</source>
        <translation>Zu beobachtende Adresse</translation>
    </message>
    <message>
        <source>Enter adds it; empty adds the address box&apos;s address</source>
        <translation>Die Eingabetaste fügt sie hinzu; leer wird die Adresse aus dem Adressfeld hinzugefügt</translation>
    </message>
    <message>
        <source>Slow</source>
        <translation>Langsam</translation>
    </message>
    <message>
        <source>completed in %1 s (slow)</source>
        <translation>erfolgreich in %1 s (langsam)</translation>
    </message>
    <message>
        <source>completed in %1 s</source>
        <translation>erfolgreich in %1 s</translation>
    </message>
    <message>
        <source>, certificate %1 days left</source>
        <translation>, Zertifikat noch %1 Tage gültig</translation>
    </message>
    <message>
        <source>failed: %1</source>
        <translation>fehlgeschlagen: %1</translation>
    </message>
    <message>
        <source>cancelled</source>
        <translation>abgebrochen</translation>
    </message>
    <message>
        <source>Down</source>
        <comment>state</comment>
        <translation>Ausgefallen</translation>
    </message>
    <message>
        <source>Up</source>
        <comment>state</comment>
        <translation>Erreichbar</translation>
    </message>
    <message>
        <source>Up</source>
        <comment>move the row</comment>
        <translation>Hoch</translation>
    </message>
    <message>
        <source>Down</source>
        <comment>move the row</comment>
        <translation>Runter</translation>
    </message>
    <message>
        <source>Not pinged yet</source>
        <translation>Noch nicht gepingt</translation>
    </message>
    <message>
        <source>Alerts snoozed until %1</source>
        <translation>Alarme stumm bis %1</translation>
    </message>
    <message>
        <source>Snooze alerts</source>
        <translation>Alarme stummschalten</translation>
    </message>
    <message>
        <source>1 hour</source>
        <translation>1 Stunde</translation>
    </message>
    <message>
        <source>4 hours</source>
        <translation>4 Stunden</translation>
    </message>
    <message>
        <source>Until tomorrow 08:00</source>
        <translation>Bis morgen 08:00</translation>
    </message>
    <message>
        <source>Resume alerts</source>
        <translation>Alarme fortsetzen</translation>
    </message>
</context>
<context>
    <name>TfAbout</name>
    <message>
        <source>Version %s%s</source>
        <translation>Version %s%s</translation>
    </message>
    <message>
        <source>About</source>
        <translation>Über</translation>
    </message>
    <message>
        <source>E-mail:</source>
        <translation>E-Mail:</translation>
    </message>
    <message>
        <source>Web site:</source>
        <translation>Website:</translation>
    </message>
    <message>
        <source>If you have any suggestion, find a bug, etc., send me an e-mail.</source>
        <translation>Wenn Sie einen Vorschlag haben, einen Fehler finden usw., schreiben Sie mir eine E-Mail.</translation>
    </message>
    <message>
        <source>This program is free of charge: you may use it at home and at work for as long as you like, with no registration.</source>
        <translation>Dieses Programm ist kostenlos: Sie dürfen es zu Hause und bei der Arbeit so lange nutzen, wie Sie möchten, ohne Registrierung.</translation>
    </message>
    <message>
        <source>You may pass on copies of the program to others, provided that its files stay unchanged and no fee is asked for them.</source>
        <translation>Sie dürfen Kopien des Programms weitergeben, sofern seine Dateien unverändert bleiben und keine Gebühr dafür verlangt wird.</translation>
    </message>
    <message>
        <source>The program is provided as it is, without any warranty. The author is not liable for any damage or loss of data that comes from using it or from being unable to use it.</source>
        <translation>Das Programm wird ohne jede Gewährleistung bereitgestellt, so wie es ist. Der Autor haftet nicht für Schäden oder Datenverluste, die aus seiner Nutzung oder der Unmöglichkeit seiner Nutzung entstehen.</translation>
    </message>
    <message>
        <source>&amp;OK</source>
        <translation>&amp;OK</translation>
    </message>
</context>
<context>
    <name>TfMain_Vennatro</name>
    <message>
        <source>&amp;Ping now</source>
        <translation>&amp;Jetzt pingen</translation>
    </message>
    <message>
        <source>Ping the current address now</source>
        <translation>Die aktuelle Adresse jetzt pingen</translation>
    </message>
    <message>
        <source>&amp;Cancel</source>
        <translation>&amp;Abbrechen</translation>
    </message>
    <message>
        <source>Cancel current ping</source>
        <translation>Laufenden Ping abbrechen</translation>
    </message>
    <message>
        <source>&amp;Automatic ping</source>
        <translation>A&amp;utomatischer Ping</translation>
    </message>
    <message>
        <source>Enable automatic ping of the current address</source>
        <translation>Automatischen Ping der aktuellen Adresse einschalten</translation>
    </message>
    <message>
        <source>Auto-ping</source>
        <translation>Auto-Ping</translation>
    </message>
    <message>
        <source>Show &amp;log</source>
        <translation>&amp;Protokoll</translation>
    </message>
    <message>
        <source>Show ping history log</source>
        <translation>Protokoll der Pings anzeigen</translation>
    </message>
    <message>
        <source>&amp;Clear log</source>
        <translation>Protokoll &amp;leeren</translation>
    </message>
    <message>
        <source>&amp;Save log to file...</source>
        <translation>Protokoll in Datei &amp;speichern …</translation>
    </message>
    <message>
        <source>Save log to file</source>
        <translation>Protokoll in Datei speichern</translation>
    </message>
    <message>
        <source>&amp;Always on top</source>
        <translation>&amp;Immer im Vordergrund</translation>
    </message>
    <message>
        <source>&amp;Options</source>
        <translation>&amp;Optionen</translation>
    </message>
    <message>
        <source>Options</source>
        <translation>Optionen</translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation>Ü&amp;ber</translation>
    </message>
    <message>
        <source>About</source>
        <translation>Über</translation>
    </message>
    <message>
        <source>&amp;History...</source>
        <translation>&amp;Verlauf …</translation>
    </message>
    <message>
        <source>History</source>
        <translation>Verlauf</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Datei</translation>
    </message>
    <message>
        <source>&amp;Ping</source>
        <translation>&amp;Ping</translation>
    </message>
    <message>
        <source>&amp;Options...</source>
        <translation>&amp;Optionen …</translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message>
        <source>Tools</source>
        <translation>Werkzeuge</translation>
    </message>
    <message>
        <source>Ping now</source>
        <translation>Jetzt pingen</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Show log</source>
        <translation>Protokoll</translation>
    </message>
    <message>
        <source>Exit application</source>
        <translation>Programm beenden</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Beenden</translation>
    </message>
    <message>
        <source>Save log as</source>
        <translation>Protokoll speichern als</translation>
    </message>
    <message>
        <source>Text files (*.txt)</source>
        <translation>Textdateien (*.txt)</translation>
    </message>
    <message>
        <source>All files (*.*)</source>
        <translation>Alle Dateien (*.*)</translation>
    </message>
    <message>
        <source>Vennatro keeps running in the notification area. %1 its icon to bring the window back; Exit in the icon&apos;s menu ends the program.</source>
        <translation>Vennatro läuft im Infobereich weiter. %1 Sie auf sein Symbol, um das Fenster zurückzuholen; „Beenden“ im Menü des Symbols beendet das Programm.</translation>
    </message>
    <message>
        <source>Click</source>
        <translation>Klicken</translation>
    </message>
    <message>
        <source>Double-click</source>
        <translation>Doppelklicken</translation>
    </message>
    <message>
        <source>No address specified.</source>
        <translation>Keine Adresse angegeben.</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>Warnung</translation>
    </message>
    <message>
        <source>Inactive</source>
        <translation>Untätig</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>&amp;Watched addresses</source>
        <translation>&amp;Beobachtete Adressen</translation>
    </message>
    <message>
        <source>Show or hide the watched addresses</source>
        <translation>Beobachtete Adressen ein- oder ausblenden</translation>
    </message>
    <message>
        <source>Watched</source>
        <translation>Beobachtet</translation>
    </message>
    <message>
        <source>completed in %1 s (slow)</source>
        <translation>erfolgreich in %1 s (langsam)</translation>
    </message>
    <message>
        <source>completed in %1 s</source>
        <translation>erfolgreich in %1 s</translation>
    </message>
    <message>
        <source>failed</source>
        <translation>fehlgeschlagen</translation>
    </message>
    <message>
        <source>failed (%1)</source>
        <translation>fehlgeschlagen (%1)</translation>
    </message>
    <message>
        <source>cancelled</source>
        <translation>abgebrochen</translation>
    </message>
    <message>
        <source>%1 at %2</source>
        <translation>%1 um %2</translation>
    </message>
    <message>
        <source>Last: %1</source>
        <translation>Zuletzt: %1</translation>
    </message>
    <message>
        <source>%1 of %2 down</source>
        <translation>%1 von %2 ausgefallen</translation>
    </message>
    <message>
        <source>1 watched address up</source>
        <translation>1 beobachtete Adresse erreichbar</translation>
    </message>
    <message>
        <source>%1 watched addresses up</source>
        <translation>%1 beobachtete Adressen erreichbar</translation>
    </message>
    <message>
        <source>%1 of %2 addresses down: %3</source>
        <translation>%1 von %2 Adressen ausgefallen: %3</translation>
    </message>
    <message>
        <source>Status: idle</source>
        <translation>Status: untätig</translation>
    </message>
    <message>
        <source>A&amp;ddress:</source>
        <translation>&amp;Adresse:</translation>
    </message>
    <message>
        <source>Address</source>
        <translation>Adresse</translation>
    </message>
    <message>
        <source>The address to ping; Enter pings it</source>
        <translation>Die zu pingende Adresse; die Eingabetaste pingt sie</translation>
    </message>
    <message>
        <source>Log</source>
        <translation>Protokoll</translation>
    </message>
    <message>
        <source>The results of the pings, newest at the end</source>
        <translation>Die Ergebnisse der Pings, die neuesten am Ende</translation>
    </message>
    <message>
        <source>Status bar</source>
        <translation>Statusleiste</translation>
    </message>
    <message>
        <source>No ping yet</source>
        <translation>Noch kein Ping</translation>
    </message>
    <message>
        <source>Last result</source>
        <translation>Letztes Ergebnis</translation>
    </message>
    <message>
        <source>Status: ping under way</source>
        <translation>Status: Ping läuft</translation>
    </message>
    <message>
        <source>Status: last ping completed</source>
        <translation>Status: letzter Ping erfolgreich</translation>
    </message>
    <message>
        <source>Status: last ping failed</source>
        <translation>Status: letzter Ping fehlgeschlagen</translation>
    </message>
    <message>
        <source>Status: last ping slow</source>
        <translation>Status: letzter Ping langsam</translation>
    </message>
    <message>
        <source>Vennatro Log</source>
        <translation>Vennatro-Protokoll</translation>
    </message>
    <message>
        <source>Operation aborted</source>
        <translation>Vorgang abgebrochen</translation>
    </message>
    <message>
        <source>Status: no network connection</source>
        <translation>Status: keine Netzwerkverbindung</translation>
    </message>
    <message>
        <source>not checked</source>
        <translation>nicht geprüft</translation>
    </message>
    <message>
        <source>&amp;Snooze alerts</source>
        <translation>Alarme &amp;stummschalten</translation>
    </message>
    <message>
        <source>1 &amp;hour</source>
        <translation>1 &amp;Stunde</translation>
    </message>
    <message>
        <source>&amp;4 hours</source>
        <translation>&amp;4 Stunden</translation>
    </message>
    <message>
        <source>Until &amp;tomorrow 08:00</source>
        <translation>Bis &amp;morgen 08:00</translation>
    </message>
    <message>
        <source>&amp;Resume alerts</source>
        <translation>Alarme &amp;fortsetzen</translation>
    </message>
    <message>
        <source>Alerts snoozed until %1</source>
        <translation>Alarme stumm bis %1</translation>
    </message>
    <message>
        <source>Alerts of 1 address snoozed until %1</source>
        <translation>Alarme von 1 Adresse stumm bis %1</translation>
    </message>
    <message>
        <source>Alerts of %1 addresses snoozed, the first until %2</source>
        <translation>Alarme von %1 Adressen stumm, die erste bis %2</translation>
    </message>
</context>
<context>
    <name>TfOptions</name>
    <message>
        <source>
(you can include also the display name using the format:  Display Name &lt;ann@example.org&gt;)</source>
        <translation>
(Sie können auch den Anzeigenamen angeben, im Format:  Anzeigename &lt;ann@example.org&gt;)</translation>
    </message>
    <message>
        <source>Missing data</source>
        <translation>Fehlende Angaben</translation>
    </message>
    <message>
        <source>Invalid path</source>
        <translation>Ungültiger Pfad</translation>
    </message>
    <message>
        <source>Options</source>
        <translation>Optionen</translation>
    </message>
    <message>
        <source>&amp;OK</source>
        <translation>&amp;OK</translation>
    </message>
    <message>
        <source>&amp;Cancel</source>
        <translation>&amp;Abbrechen</translation>
    </message>
    <message>
        <source>Ping options</source>
        <translation>Ping-Optionen</translation>
    </message>
    <message>
        <source>Number of consecutive ping attemps (if the first attempt fails)</source>
        <translation>Anzahl aufeinanderfolgender Ping-Versuche (wenn der erste Versuch fehlschlägt)</translation>
    </message>
    <message>
        <source>minute(s)</source>
        <translation>Minute(n)</translation>
    </message>
    <message>
        <source>Number of minutes between each automatic ping</source>
        <translation>Minuten zwischen zwei automatischen Pings</translation>
    </message>
    <message>
        <source>second(s)</source>
        <translation>Sekunde(n)</translation>
    </message>
    <message>
        <source>Seconds an attempt may wait for the server (1 to 3600)</source>
        <translation>Sekunden, die ein Versuch auf den Server warten darf (1 bis 3600)</translation>
    </message>
    <message>
        <source>Seconds between two pings of a watched address (%1 to %2)</source>
        <translation>Sekunden zwischen zwei Pings einer beobachteten Adresse (%1 bis %2)</translation>
    </message>
    <message>
        <source>Port por HTTP connections</source>
        <translation>Port für HTTP-Verbindungen</translation>
    </message>
    <message>
        <source>Port por HTTPS connections</source>
        <translation>Port für HTTPS-Verbindungen</translation>
    </message>
    <message>
        <source>Include computer name in user agent string</source>
        <translation>Computernamen in den User-Agent aufnehmen</translation>
    </message>
    <message>
        <source>Include computer name in the user agent string (for server-side logging)</source>
        <translation>Den Computernamen in den User-Agent aufnehmen (für die Protokolle des Servers)</translation>
    </message>
    <message>
        <source>Enable automatic ping at program start:</source>
        <translation>Automatischen Ping beim Programmstart einschalten:</translation>
    </message>
    <message>
        <source>Enable automatic ping at program start using the following URL</source>
        <translation>Beim Programmstart automatisch die folgende URL pingen</translation>
    </message>
    <message>
        <source>Check TLS on https</source>
        <translation>TLS bei https prüfen</translation>
    </message>
    <message>
        <source>https: complete a TLS handshake, verify the certificate and its name, then send the request (off: a connect only)</source>
        <translation>https: einen TLS-Handshake durchführen, das Zertifikat und seinen Namen prüfen, dann die Anfrage senden (aus: nur ein Verbindungsaufbau)</translation>
    </message>
    <message>
        <source>days</source>
        <translation>Tage</translation>
    </message>
    <message>
        <source>With TLS checked: warn once a day while the certificate expires within these days (0: never)</source>
        <translation>Mit TLS-Prüfung: einmal am Tag warnen, solange das Zertifikat innerhalb dieser Tage abläuft (0: nie)</translation>
    </message>
    <message>
        <source>Status codes that complete a ping, such as 200-399 or 200,204,301-308; others fail it (empty: any answer)</source>
        <translation>Statuscodes, mit denen ein Ping gelingt, etwa 200-399 oder 200,204,301-308; andere lassen ihn fehlschlagen (leer: jede Antwort)</translation>
    </message>
    <message>
        <source>ms</source>
        <translation>ms</translation>
    </message>
    <message>
        <source>A completed ping slower than this is slow (0: never)</source>
        <translation>Ein erfolgreicher Ping, der länger dauert, gilt als langsam (0: nie)</translation>
    </message>
    <message>
        <source>Other options</source>
        <translation>Weitere Optionen</translation>
    </message>
    <message>
        <source>Always on top</source>
        <translation>Immer im Vordergrund</translation>
    </message>
    <message>
        <source>Show window on top of other windows</source>
        <translation>Fenster über anderen Fenstern anzeigen</translation>
    </message>
    <message>
        <source>Start with Windows</source>
        <translation>Mit Windows starten</translation>
    </message>
    <message>
        <source>Start at log-on</source>
        <translation>Bei der Anmeldung starten</translation>
    </message>
    <message>
        <source>Run the program at session start (as taskbar icon)</source>
        <translation>Das Programm beim Sitzungsstart ausführen (als Symbol im Infobereich)</translation>
    </message>
    <message>
        <source>Show taskbar icon status messages</source>
        <translation>Statusmeldungen am Symbol anzeigen</translation>
    </message>
    <message>
        <source>Show status messages (ping OK, ping error...) from the taskbar icon</source>
        <translation>Statusmeldungen (Ping erfolgreich, Ping-Fehler …) am Symbol im Infobereich anzeigen</translation>
    </message>
    <message>
        <source>Notify errors only</source>
        <translation>Nur Fehler melden</translation>
    </message>
    <message>
        <source>Show taskbar icon status messages only for ping errors</source>
        <translation>Statusmeldungen am Symbol nur bei Ping-Fehlern anzeigen</translation>
    </message>
    <message>
        <source>Log HTTP headers</source>
        <translation>HTTP-Header protokollieren</translation>
    </message>
    <message>
        <source>Add HTTP headers to the log (secure connections headers aren&apos;t logged)</source>
        <translation>HTTP-Header ins Protokoll aufnehmen (Header sicherer Verbindungen werden nicht protokolliert)</translation>
    </message>
    <message>
        <source>Log timing details</source>
        <translation>Zeitdetails protokollieren</translation>
    </message>
    <message>
        <source>Add the lookup, connect and answer times to every completed ping</source>
        <translation>Zu jedem erfolgreichen Ping die Zeiten für Namensauflösung, Verbindungsaufbau und Antwort protokollieren</translation>
    </message>
    <message>
        <source>Save log to file:</source>
        <translation>Protokoll in Datei speichern:</translation>
    </message>
    <message>
        <source>Log ping results to file</source>
        <translation>Ping-Ergebnisse in eine Datei schreiben</translation>
    </message>
    <message>
        <source>Select file</source>
        <translation>Datei auswählen</translation>
    </message>
    <message>
        <source>days (0: all)</source>
        <translation>Tage (0: alle)</translation>
    </message>
    <message>
        <source>Days of ping history kept for the History window (0: keep all)</source>
        <translation>Tage, die der Ping-Verlauf für das Verlaufsfenster aufbewahrt wird (0: alles behalten)</translation>
    </message>
    <message>
        <source>Days each ping is kept on its own; older pings are folded into one row an hour per address</source>
        <translation>Tage, die jeder Ping einzeln aufbewahrt wird; ältere Pings werden je Adresse zu einer Zeile pro Stunde zusammengefasst</translation>
    </message>
    <message>
        <source>Serve Prometheus metrics on 127.0.0.1 at this port (0: off)</source>
        <translation>Prometheus-Metriken auf 127.0.0.1 an diesem Port anbieten (0: aus)</translation>
    </message>
    <message>
        <source>Write Prometheus metrics to this file after each ping (empty: off)</source>
        <translation>Prometheus-Metriken nach jedem Ping in diese Datei schreiben (leer: aus)</translation>
    </message>
    <message>
        <source>Alerts</source>
        <translation>Alarme</translation>
    </message>
    <message>
        <source>Ping the following address when a ping fails</source>
        <translation>Die folgende Adresse pingen, wenn ein Ping fehlschlägt</translation>
    </message>
    <message>
        <source>Ping the following address if a ping fails</source>
        <translation>Die folgende Adresse pingen, falls ein Ping fehlschlägt</translation>
    </message>
    <message>
        <source>Send a notification email when a ping fails</source>
        <translation>Eine Benachrichtigungs-E-Mail senden, wenn ein Ping fehlschlägt</translation>
    </message>
    <message>
        <source>Send an email to the following address if a ping fails</source>
        <translation>Eine E-Mail an die folgende Adresse senden, falls ein Ping fehlschlägt</translation>
    </message>
    <message>
        <source>Email address that will receive the ping failure notification</source>
        <translation>E-Mail-Adresse, die die Benachrichtigung über den fehlgeschlagenen Ping erhält</translation>
    </message>
    <message>
        <source>Email account (SMTP) settings</source>
        <translation>E-Mail-Konto (SMTP)</translation>
    </message>
    <message>
        <source>Email address that will be used as the sender of the notification</source>
        <translation>E-Mail-Adresse, die als Absender der Benachrichtigung dient</translation>
    </message>
    <message>
        <source>SMTP Server</source>
        <translation>SMTP-Server</translation>
    </message>
    <message>
        <source>SMTP port</source>
        <translation>SMTP-Port</translation>
    </message>
    <message>
        <source>SMTP server username</source>
        <translation>Benutzername am SMTP-Server</translation>
    </message>
    <message>
        <source>SMTP server password</source>
        <translation>Passwort am SMTP-Server</translation>
    </message>
    <message>
        <source>Confirm SMTP password</source>
        <translation>SMTP-Passwort bestätigen</translation>
    </message>
    <message>
        <source>STARTTLS when offered</source>
        <translation>STARTTLS, wenn angeboten</translation>
    </message>
    <message>
        <source>STARTTLS required</source>
        <translation>STARTTLS erforderlich</translation>
    </message>
    <message>
        <source>SSL/TLS</source>
        <translation>SSL/TLS</translation>
    </message>
    <message>
        <source>None</source>
        <translation>Keine</translation>
    </message>
    <message>
        <source>How the connection to the SMTP server is protected (port 587: STARTTLS; port 465: SSL/TLS)</source>
        <translation>Wie die Verbindung zum SMTP-Server geschützt wird (Port 587: STARTTLS; Port 465: SSL/TLS)</translation>
    </message>
    <message>
        <source>Send &amp;test e-mail</source>
        <translation>&amp;Test-E-Mail senden</translation>
    </message>
    <message>
        <source>Send one e-mail with these settings now and show the server&apos;s answer</source>
        <translation>Jetzt eine E-Mail mit diesen Einstellungen senden und die Antwort des Servers zeigen</translation>
    </message>
    <message>
        <source>minute(s) (0: never)</source>
        <translation>Minute(n) (0: nie)</translation>
    </message>
    <message>
        <source>While an address stays down, send its alerts again after this many minutes</source>
        <translation>Solange eine Adresse ausgefallen bleibt, ihre Alarme nach so vielen Minuten erneut senden</translation>
    </message>
    <message>
        <source>Save log as</source>
        <translation>Protokoll speichern als</translation>
    </message>
    <message>
        <source>Text files (*.txt)</source>
        <translation>Textdateien (*.txt)</translation>
    </message>
    <message>
        <source>All files (*.*)</source>
        <translation>Alle Dateien (*.*)</translation>
    </message>
    <message>
        <source>Vennatro Log</source>
        <translation>Vennatro-Protokoll</translation>
    </message>
    <message>
        <source>Please enter the SMTP server password.</source>
        <translation>Bitte geben Sie das Passwort für den SMTP-Server ein.</translation>
    </message>
    <message>
        <source>Please confirm the SMTP server password.</source>
        <translation>Bitte bestätigen Sie das Passwort für den SMTP-Server.</translation>
    </message>
    <message>
        <source>Password and the password confirmation doesn&apos;t match.</source>
        <translation>Passwort und Bestätigung stimmen nicht überein.</translation>
    </message>
    <message>
        <source>The SMTP server password can&apos;t be longer than 255 bytes.</source>
        <translation>Das Passwort für den SMTP-Server darf höchstens 255 Bytes lang sein.</translation>
    </message>
    <message>
        <source>Please enter an SMTP server port from %1 to %2.</source>
        <translation>Bitte geben Sie einen SMTP-Port von %1 bis %2 ein.</translation>
    </message>
    <message>
        <source>Please enter the SMTP server.</source>
        <translation>Bitte geben Sie den SMTP-Server ein.</translation>
    </message>
    <message>
        <source>Please enter the SMTP server port.</source>
        <translation>Bitte geben Sie den Port des SMTP-Servers ein.</translation>
    </message>
    <message>
        <source>Please enter the SMTP server username.</source>
        <translation>Bitte geben Sie den Benutzernamen für den SMTP-Server ein.</translation>
    </message>
    <message>
        <source>Please enter the email address that will be used as the sender of the notification.</source>
        <translation>Bitte geben Sie die E-Mail-Adresse ein, die als Absender der Benachrichtigung dient.</translation>
    </message>
    <message>
        <source>Please enter the email address that will receive the ping failure notification.</source>
        <translation>Bitte geben Sie die E-Mail-Adresse ein, die die Benachrichtigung über den fehlgeschlagenen Ping erhält.</translation>
    </message>
    <message>
        <source>Please enter the address that will be accessed on ping failure.</source>
        <translation>Bitte geben Sie die Adresse ein, die bei einem fehlgeschlagenen Ping aufgerufen wird.</translation>
    </message>
    <message>
        <source>Please enter an address for auto-ping.</source>
        <translation>Bitte geben Sie eine Adresse für den Auto-Ping ein.</translation>
    </message>
    <message>
        <source>Please enter from %1 to %2 ping attempts.</source>
        <translation>Bitte geben Sie %1 bis %2 Ping-Versuche ein.</translation>
    </message>
    <message>
        <source>Please enter an auto-ping interval from %1 to %2 minutes.</source>
        <translation>Bitte geben Sie ein Auto-Ping-Intervall von %1 bis %2 Minuten ein.</translation>
    </message>
    <message>
        <source>Please enter an HTTP port from %1 to %2.</source>
        <translation>Bitte geben Sie einen HTTP-Port von %1 bis %2 ein.</translation>
    </message>
    <message>
        <source>Please enter an HTTPS port from %1 to %2.</source>
        <translation>Bitte geben Sie einen HTTPS-Port von %1 bis %2 ein.</translation>
    </message>
    <message>
        <source>Please enter a ping timeout from %1 to %2 seconds.</source>
        <translation>Bitte geben Sie ein Ping-Zeitlimit von %1 bis %2 Sekunden ein.</translation>
    </message>
    <message>
        <source>Please enter a watch interval from %1 to %2 seconds.</source>
        <translation>Bitte geben Sie ein Beobachtungsintervall von %1 bis %2 Sekunden ein.</translation>
    </message>
    <message>
        <source>Please enter the days of history to keep, from %1 (all) to %2.</source>
        <translation>Bitte geben Sie die Tage ein, die der Verlauf aufbewahrt wird, von %1 (alle) bis %2.</translation>
    </message>
    <message>
        <source>Please enter the days single pings are kept, from %1 to %2.</source>
        <translation>Bitte geben Sie die Tage ein, die einzelne Pings aufbewahrt werden, von %1 bis %2.</translation>
    </message>
    <message>
        <source>Please enter a metrics port from 1 to %1, or 0 for none.</source>
        <translation>Bitte geben Sie einen Metrik-Port von 1 bis %1 ein, oder 0 für keinen.</translation>
    </message>
    <message>
        <source>Please enter the minutes after which an alert is repeated, from %1 (never) to %2.</source>
        <translation>Bitte geben Sie die Minuten ein, nach denen ein Alarm wiederholt wird, von %1 (nie) bis %2.</translation>
    </message>
    <message>
        <source>Please enter the days before a certificate&apos;s expiry that warn, from %1 (never) to %2.</source>
        <translation>Bitte geben Sie die Tage vor dem Ablauf eines Zertifikats ein, ab denen gewarnt wird, von %1 (nie) bis %2.</translation>
    </message>
    <message>
        <source>Please enter the milliseconds above which a ping is slow, from %1 (never) to %2.</source>
        <translation>Bitte geben Sie die Millisekunden ein, ab denen ein Ping langsam ist, von %1 (nie) bis %2.</translation>
    </message>
    <message>
        <source>Please enter the accepted HTTP status as codes from 100 to 599 and ranges, such as 200-399 or 200,204,301-308, or leave it empty to accept any answer.</source>
        <translation>Bitte geben Sie den akzeptierten HTTP-Status als Codes von 100 bis 599 und Bereiche ein, etwa 200-399 oder 200,204,301-308, oder lassen Sie das Feld leer, um jede Antwort zu akzeptieren.</translation>
    </message>
    <message>
        <source>Please enter a valid path for the log file</source>
        <translation>Bitte geben Sie einen gültigen Pfad für die Protokolldatei ein</translation>
    </message>
    <message>
        <source>Please enter a full path for the metrics file</source>
        <translation>Bitte geben Sie einen vollständigen Pfad für die Metrik-Datei ein</translation>
    </message>
    <message>
        <source>Please enter the SMTP server, the sender and the recipient before sending a test e-mail.</source>
        <translation>Bitte geben Sie den SMTP-Server, den Absender und den Empfänger ein, bevor Sie eine Test-E-Mail senden.</translation>
    </message>
    <message>
        <source>Test e-mail</source>
        <translation>Test-E-Mail</translation>
    </message>
    <message>
        <source>Sending...</source>
        <translation>Wird gesendet …</translation>
    </message>
    <message>
        <source>The test e-mail to %1 was sent.

The server answered: %2</source>
        <translation>Die Test-E-Mail an %1 wurde gesendet.

Der Server antwortete: %2</translation>
    </message>
    <message>
        <source>(nothing)</source>
        <translation>(nichts)</translation>
    </message>
    <message>
        <source>The test e-mail was not sent.

%1</source>
        <translation>Die Test-E-Mail wurde nicht gesendet.

%1</translation>
    </message>
    <message>
        <source>Pin&amp;g attempts:</source>
        <translation>Ping-&amp;Versuche:</translation>
    </message>
    <message>
        <source>A&amp;uto-ping interval:</source>
        <translation>A&amp;uto-Ping-Intervall:</translation>
    </message>
    <message>
        <source>Ping ti&amp;meout:</source>
        <translation>Ping-&amp;Zeitlimit:</translation>
    </message>
    <message>
        <source>&amp;Watch interval:</source>
        <translation>&amp;Beobachtungsintervall:</translation>
    </message>
    <message>
        <source>&amp;HTTP port:</source>
        <translation>&amp;HTTP-Port:</translation>
    </message>
    <message>
        <source>HTTP&amp;S port:</source>
        <translation>HTTP&amp;S-Port:</translation>
    </message>
    <message>
        <source>Auto-ping address</source>
        <translation>Auto-Ping-Adresse</translation>
    </message>
    <message>
        <source>Warn before e&amp;xpiry:</source>
        <translation>Vor Ablauf &amp;warnen:</translation>
    </message>
    <message>
        <source>&amp;Accepted HTTP status:</source>
        <translation>&amp;Akzeptierter HTTP-Status:</translation>
    </message>
    <message>
        <source>S&amp;low above:</source>
        <translation>&amp;Langsam ab:</translation>
    </message>
    <message>
        <source>Log file</source>
        <translation>Protokolldatei</translation>
    </message>
    <message>
        <source>Select log file</source>
        <translation>Protokolldatei auswählen</translation>
    </message>
    <message>
        <source>&amp;Keep history:</source>
        <translation>Verlauf auf&amp;bewahren:</translation>
    </message>
    <message>
        <source>Si&amp;ngle pings for:</source>
        <translation>&amp;Einzelne Pings für:</translation>
    </message>
    <message>
        <source>Met&amp;rics port:</source>
        <translation>Met&amp;rik-Port:</translation>
    </message>
    <message>
        <source>Metrics f&amp;ile:</source>
        <translation>Metrik-Da&amp;tei:</translation>
    </message>
    <message>
        <source>Address to ping when a ping fails</source>
        <translation>Bei fehlgeschlagenem Ping zu pingende Adresse</translation>
    </message>
    <message>
        <source>To a&amp;ddress:</source>
        <translation>Empfän&amp;ger:</translation>
    </message>
    <message>
        <source>&amp;From address:</source>
        <translation>Absen&amp;der:</translation>
    </message>
    <message>
        <source>Ser&amp;ver:</source>
        <translation>Ser&amp;ver:</translation>
    </message>
    <message>
        <source>&amp;Port:</source>
        <translation>&amp;Port:</translation>
    </message>
    <message>
        <source>Us&amp;ername:</source>
        <translation>Benutzer&amp;name:</translation>
    </message>
    <message>
        <source>Pass&amp;word:</source>
        <translation>Pass&amp;wort:</translation>
    </message>
    <message>
        <source>Confirm passwor&amp;d:</source>
        <translation>Passwort bestät&amp;igen:</translation>
    </message>
    <message>
        <source>Securit&amp;y:</source>
        <translation>&amp;Sicherheit:</translation>
    </message>
    <message>
        <source>&amp;Repeat alerts every:</source>
        <translation>Alarme wiede&amp;rholen alle:</translation>
    </message>
    <message>
        <source>Tell network outages from site outages</source>
        <translation>Netzwerkausfälle von Ausfällen der Seite unterscheiden</translation>
    </message>
    <message>
        <source>A ping that fails because this computer has no network, or slept, is &quot;not checked&quot; and alerts nothing</source>
        <translation>Ein Ping, der scheitert, weil dieser Computer kein Netzwerk hat oder schlief, ist „nicht geprüft“ und alarmiert nicht</translation>
    </message>
    <message>
        <source>host:port or http(s) addresses</source>
        <translation>host:port oder http(s)-Adressen</translation>
    </message>
    <message>
        <source>Refere&amp;nce addresses:</source>
        <translation>Refere&amp;nzadressen:</translation>
    </message>
    <message>
        <source>Asked after a failure (a connect, at most every 10 s): when none of them answers either, this computer&apos;s network is down. Separate them with blanks</source>
        <translation>Nach einem Fehlschlag gefragt (ein Verbindungsaufbau, höchstens alle 10 s): antwortet auch keine davon, ist das Netzwerk dieses Computers ausgefallen. Durch Leerzeichen trennen</translation>
    </message>
    <message>
        <source>Please enter the failed pings in a row that make an address down, from %1 to %2.</source>
        <translation>Bitte geben Sie die fehlgeschlagenen Pings in Folge ein, nach denen eine Adresse ausgefallen ist, von %1 bis %2.</translation>
    </message>
    <message>
        <source>Notifications</source>
        <translation>Benachrichtigungen</translation>
    </message>
    <message>
        <source>ntfys://ntfy.example.org/topic
https://example.org/hook</source>
        <translation>ntfys://ntfy.example.org/topic
https://example.org/hook</translation>
    </message>
    <message>
        <source>Notify &amp;URLs (one a line):</source>
        <translation>Benachrichtigungs-&amp;URLs (eine je Zeile):</translation>
    </message>
    <message>
        <source>Notify URLs</source>
        <translation>Benachrichtigungs-URLs</translation>
    </message>
    <message>
        <source>Every alert also goes to each URL: http:// and https:// receive the program&apos;s JSON by POST; any other scheme (ntfy://, gotify://, tgram://, slack://, matrix://, json://, ...) is sent by Apprise (the Debian package &quot;apprise&quot;)</source>
        <translation>Jeder Alarm geht auch an jede URL: http:// und https:// erhalten das JSON des Programms per POST; jedes andere Schema (ntfy://, gotify://, tgram://, slack://, matrix://, json://, …) sendet Apprise (das Debian-Paket „apprise“)</translation>
    </message>
    <message>
        <source>Send &amp;test</source>
        <translation>&amp;Test senden</translation>
    </message>
    <message>
        <source>Send a test notification to the URLs above now</source>
        <translation>Jetzt eine Testbenachrichtigung an die URLs oben senden</translation>
    </message>
    <message>
        <source>Empty: the program&apos;s own texts</source>
        <translation>Leer: die Texte des Programms</translation>
    </message>
    <message>
        <source>Alert te&amp;xt:</source>
        <translation>Alarmte&amp;xt:</translation>
    </message>
    <message>
        <source>Alert text</source>
        <translation>Alarmtext</translation>
    </message>
    <message>
        <source>The message the notify URLs receive. Placeholders: %address%, %event% (down, up), %result%, %time%, %duration% (of the ping), %downtime%</source>
        <translation>Die Nachricht, die die Benachrichtigungs-URLs erhalten. Platzhalter: %address%, %event% (down, up), %result%, %time%, %duration% (des Pings), %downtime%</translation>
    </message>
    <message>
        <source>Alert a&amp;fter:</source>
        <translation>Alarm na&amp;ch:</translation>
    </message>
    <message>
        <source>Alert after</source>
        <translation>Alarm nach</translation>
    </message>
    <message>
        <source>failed ping(s) in a row</source>
        <translation>fehlgeschlagenen Pings in Folge</translation>
    </message>
    <message>
        <source>An address is down, and alerts, only after this many pings in a row failed</source>
        <translation>Eine Adresse gilt erst als ausgefallen und alarmiert, wenn so viele Pings in Folge fehlschlugen</translation>
    </message>
    <message>
        <source>sent</source>
        <translation>gesendet</translation>
    </message>
    <message>
        <source>not sent (%1)</source>
        <translation>nicht gesendet (%1)</translation>
    </message>
    <message>
        <source>No notify URL to test.</source>
        <translation>Keine Benachrichtigungs-URL zum Testen.</translation>
    </message>
    <message>
        <source>Sending to %1 URL(s)...</source>
        <translation>Wird an %1 URL(s) gesendet …</translation>
    </message>
</context>
<context>
    <name>TrayShell</name>
    <message>
        <source>Show</source>
        <translation>Anzeigen</translation>
    </message>
</context>
</TS>
