#pragma once
// A whole main window in a temporary program folder, driving a simulator published as COM3.
//
//     AppFixture app;
//     QVERIFY2(app.StartSim(), qPrintable(app.Failure()));
//     app.WriteSettings("DebugMode=1");        // optional, before CreateForm
//     app.CreateForm();                          // the search starts at its first tick
//     QVERIFY(app.WaitForMessage("Device ready."));
//
// The first search comes at once, the 5-second pause after identification is shortened to one
// round, and the port list only knows the links in ports/, so a test never touches the
// machine's own serial devices.

#include "support/SimProcess.h"

#include <QStringList>
#include <QTemporaryDir>
#include <memory>

class TForm_Main;

class AppFixture {
public:
    AppFixture();
    ~AppFixture();

    // The program folder, with a trailing '/'.
    QString Folder() const;
    QString SamplePath() const;
    QString KeptCopyPath() const;

    // Writes VuzaRavarede.ini with PortName=COM3, a valid type, the given extra lines in
    // section [Device] and RemotePort() as the remote control port.
    void WriteSettings(const QString& deviceLines = QString());
    // A port that was free when the fixture was made: the program's remote server listens
    // there, not on the machine's usual port.
    quint16 RemotePort() const { return m_remotePort; }
    // Puts the sample calibration file in Cal/ as the kept copy.
    bool PlaceKeptCopy();

    bool StartSim(const QStringList& args = {});
    SimProcess& Sim() { return m_sim; }
    QString Failure() const { return m_sim.Failure(); }
    // The commands the simulator has received, oldest first.
    QStringList Commands();

    TForm_Main* CreateForm();
    TForm_Main* Form() const { return m_form.get(); }
    // Pumps events until the message bar shows `text` (or `timeoutMs` passes).
    bool WaitForMessage(const QString& text, int timeoutMs = 20000);
    // Pumps events until `text` has been shown since the form was created.
    bool WaitForShown(const QString& text, int timeoutMs = 20000);
    QStringList Shown() const { return m_shown; }
    QString Message() const;
    unsigned MessageColor() const;

    // The three positions the sample file holds for (cwl, fwhm), as "p1 p2 p3".
    QString SamplePositions(double cwl, double fwhm) const;

private:
    QTemporaryDir m_dir;
    SimProcess m_sim;
    std::unique_ptr<TForm_Main> m_form;
    QStringList m_shown;
    quint16 m_remotePort = 0;
};
