// The Set panel driven like a user: clicks and key presses against a simulated instrument.
#include "app/Unit_FormMain.h"
#include "control/Unit_FormControlSet.h"
#include "core/Unit_Colors.h"
#include "support/AppFixture.h"
#include "ui/Unit_FormControlView.h"
#include "ui/Unit_SkinEdit.h"
#include "ui/Unit_SkinImage.h"

#include <QLabel>
#include <QTest>
#include <QTimer>

namespace {

// The visible picture of an on/off pair: the one a click lands on.
TSkinImage* Shown(TSkinImage* on, TSkinImage* off) {
    return on->isVisible() ? on : off;
}

void Type(TSkinEdit* box, const QString& text) {
    QTest::mouseClick(box, Qt::LeftButton);
    QTest::keyClicks(box, text);
}

} // namespace

class TestFormControlSet : public QObject {
    Q_OBJECT

    std::unique_ptr<AppFixture> App;
    TForm_Main* Form = nullptr;
    TForm_ControlSet* Set = nullptr;

    // A fresh program with a ready session for each test.
    bool StartReady(const QStringList& simArgs = {}) {
        App = std::make_unique<AppFixture>();
        if (!App->StartSim(QStringList{"--home-ms", "200"} + simArgs)) return false;
        App->PlaceKeptCopy();
        Form = App->CreateForm();
        Set = Form->FormControlSet;
        Form->show();
        if (!QTest::qWaitForWindowExposed(Form)) return false;
        // The simulator reports each exchange after it has answered: wait for the whole open
        // sequence so that later counts start from it.
        return App->WaitForMessage("Device ready.") && App->Sim().WaitForExchanges(7, 5000);
    }

    void ClickGo() {
        QTest::mouseClick(Shown(Set->Image_Button4_On, Set->Image_Button4_Off), Qt::LeftButton);
    }
    void ClickReset() {
        QTest::mouseClick(Shown(Set->Image_Button3_On, Set->Image_Button3_Off), Qt::LeftButton);
    }

    void VerifyIdle() {
        QVERIFY(Set->Image_Button4_Off->isVisible());
        QVERIFY(!Set->Image_Button4_On->isVisible());
        QVERIFY(Set->Image_Button3_Off->isVisible());
        QVERIFY(!Form->DeviceBusy);
    }

private slots:
    void cleanup() {
        App.reset();
        Form = nullptr;
        Set = nullptr;
    }

    void goMovesToTheGridPoint_data() {
        QTest::addColumn<bool>("edges");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("CWL + FWHM") << false << "500.0"
                                    << "10.0";
        QTest::newRow("SW + LW") << true << "495.0"
                                 << "505.0";
        QTest::newRow("whole CWL, FWHM with a second decimal") << false << "500"
                                                               << "10.04";
    }
    void goMovesToTheGridPoint() {
        QFETCH(bool, edges);
        QVERIFY(StartReady());
        if (edges)
            QTest::mouseClick(Shown(Set->Image_Button2_On, Set->Image_Button2_Off), Qt::LeftButton);
        QCOMPARE(Set->EditMode, edges ? 1 : 0);
        QCOMPARE(Set->Image_Edit1_Mode2->isVisible(), edges);
        QFETCH(QString, first);
        QFETCH(QString, second);
        Type(Set->Edit1, first);
        Type(Set->Edit2, second);
        const int before = int(App->Commands().size());
        ClickGo();
        QVERIFY(App->WaitForMessage("Successfully changed wavelength and FWHM.", 5000));
        QCOMPARE(App->MessageColor(), Colors::clMsgLime);
        QVERIFY(App->Sim().WaitForExchanges(before + 2, 5000));
        const QStringList sent = App->Commands().mid(before);
        QCOMPARE(sent, (QStringList{"POS 3", "GO 3 " + App->SamplePositions(500.0, 10.0)}));
        TForm_ControlView* view = Form->FormControlView;
        QCOMPARE(view->Label_Edit3->text(), QStringLiteral("500.00"));
        QCOMPARE(view->Label_Edit4->text(), QStringLiteral("495.00"));
        QCOMPARE(view->Label_Edit5->text(), QStringLiteral("505.00"));
        QCOMPARE(view->Label_Edit6->text(), QStringLiteral("[ 10.00 ]"));
        // The worked example of the ruler: range 390..810, band 495..505.
        QCOMPARE(view->Image_Edit3_Base->x(), 214);
        QCOMPARE(view->Image_Pos_Range->geometry(), QRect(295, 68, 20, 33));
        QCOMPARE(Set->SetRequest[0], 500.0);
        QCOMPARE(Set->SetRequest[2], 495.0);
        VerifyIdle();
    }

    void validationFailureMovesNothing() {
        QVERIFY(StartReady());
        const int before = int(App->Commands().size());
        ClickGo();
        QCOMPARE(App->Message(),
                 QStringLiteral("ERRSE03 : Out of range. Please set [CWL] \u2265 400.0"));
        QCOMPARE(App->MessageColor(), Colors::clMsgRed);
        QVERIFY(App->Sim().WaitForExchanges(before + 1, 5000));
        QTest::qWait(200);
        QCOMPARE(App->Commands().mid(before), QStringList{"POS 3"});
        VerifyIdle();
        // A box holding a value empties at the next click into it; typing stops at 5 characters.
        Type(Set->Edit1, "500.25");
        QCOMPARE(Set->Edit1->text(), QStringLiteral("500.2"));
        QTest::mouseClick(Set->Edit1, Qt::LeftButton);
        QCOMPARE(Set->Edit1->text(), QString());
        // A mode button empties both boxes, also when its mode is already selected.
        Type(Set->Edit1, "500");
        Type(Set->Edit2, "10");
        QTest::mouseClick(Shown(Set->Image_Button1_On, Set->Image_Button1_Off), Qt::LeftButton);
        QCOMPARE(Set->Edit1->text() + Set->Edit2->text(), QString());
    }

    void resetHomesAndShowsTheRange() {
        QVERIFY(StartReady());
        Type(Set->Edit1, "600");
        Type(Set->Edit2, "5");
        ClickGo();
        QVERIFY(App->WaitForMessage("Successfully changed wavelength and FWHM.", 5000));
        QVERIFY(App->Sim().WaitForExchanges(9, 5000));
        const int before = int(App->Commands().size());
        ClickReset();
        QVERIFY(App->WaitForMessage("Reset complete.", 20000));
        QVERIFY(App->Sim().WaitForExchanges(before + 2, 5000));
        QCOMPARE(App->Commands().mid(before), (QStringList{"POS 3", "HOME 3"}));
        QCOMPARE(Form->FormControlView->Label_RangeMin->text(), QStringLiteral("390.0"));
        QCOMPARE(Form->FormControlView->Label_Edit3->text(), QString());
        QCOMPARE(Form->FormControlView->Image_Edit3_Base->x(), 364);
        VerifyIdle();
    }

    void moveRefusedByTheInstrument() {
        QVERIFY(StartReady({"--go-answer", "GO 3 1 2"}));
        Type(Set->Edit1, "500");
        Type(Set->Edit2, "10");
        ClickGo();
        QVERIFY(App->WaitForMessage("ERRDV04 : Failed to change wavelength and FWHM.", 5000));
        QCOMPARE(App->MessageColor(), Colors::clMsgRed);
        VerifyIdle();
        // The strip keeps what it showed before the failed move.
        QCOMPARE(Form->FormControlView->Label_Edit3->text(), QString());
    }

    void clickDuringAnOperationIsRefusedSilently() {
        QVERIFY(StartReady({"--delay", "400"}));
        Type(Set->Edit1, "500");
        Type(Set->Edit2, "10");
        // Reset is clicked while the move waits for its answer.
        bool resetTried = false;
        QTimer::singleShot(600, this, [&]() {
            resetTried = true;
            ClickReset();
        });
        ClickGo();
        QVERIFY(resetTried);
        QCOMPARE(App->Message(), QStringLiteral("Successfully changed wavelength and FWHM."));
        QVERIFY(App->Sim().WaitForExchanges(9, 5000));
        QTest::qWait(300);
        // The refused Reset sent nothing: the move's answer reached the move.
        QCOMPARE(App->Commands().mid(7),
                 (QStringList{"POS 3", "GO 3 " + App->SamplePositions(500.0, 10.0)}));
        VerifyIdle();
    }

    void lostConnectionClosesAndSearchesAgain() {
        QVERIFY(StartReady());
        QVERIFY(App->Sim().SendControl("silent on"));
        QVERIFY(App->Sim().WaitForLine("# silent on", 3000));
        Type(Set->Edit1, "500");
        Type(Set->Edit2, "10");
        ClickGo();
        // The next search tick may already run inside the click, so look at what was shown.
        QVERIFY(App->WaitForShown("ERRDV02 : Communication error. Connection lost.", 5000));
        QVERIFY(!Form->DeviceOpened);
        QVERIFY(!Form->DeviceBusy);
        QCOMPARE(Set->Label_Product->text(), QStringLiteral("No Device"));
        QCOMPARE(Set->Label_Product->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        const qsizetype closedAt =
            App->Shown().lastIndexOf("ERRDV02 : Communication error. Connection lost.");
        QTRY_VERIFY_WITH_TIMEOUT(App->Shown().mid(closedAt).contains("Searching device..."), 5000);
        // The search starts again by itself and finds the instrument once it answers.
        QVERIFY(App->Sim().SendControl("silent off"));
        QVERIFY(App->WaitForMessage("Device ready.", 20000));
    }

    void notReadyNotices() {
        AppFixture app;
        TForm_Main* form = app.CreateForm();
        form->Timer_AutoOpen->stop();
        TForm_ControlSet* set = form->FormControlSet;
        set->Image_Button4Click();
        QCOMPARE(app.Message(), QStringLiteral("Device not ready. Please connect QVL Rari."));
        // A Go that cannot move anything is shown as an error; Reset's notice stays silver.
        QCOMPARE(app.MessageColor(), Colors::clMsgRed);
        set->Image_Button3Click();
        QCOMPARE(app.Message(), QStringLiteral("Reset failure. Device not ready."));
        QCOMPARE(app.MessageColor(), Colors::clMsgSilver);
        set->FillSetFields(1, "495.0", "505.0");
        set->Action_RemoteControl_Go();
        QCOMPARE(form->RemoteResponse, QByteArray("SETR FAIL"));
        QCOMPARE(form->RemoteErrorCode, QByteArray("NONE"));
        QCOMPARE(form->RemoteErrorText, QByteArray("Device not ready. Please connect QVL Rari."));
        set->Action_RemoteControl_Reset();
        QCOMPARE(form->RemoteResponse, QByteArray("RESET FAIL"));
        QCOMPARE(form->RemoteErrorText, QByteArray("Reset failure. Device not ready."));
    }

    void remoteActionsStoreTheirResults() {
        QVERIFY(StartReady());
        // Written as received, longer than the typing limit.
        Set->FillSetFields(0, "500.00", "10.000");
        QCOMPARE(Set->Edit1->text(), QStringLiteral("500.00"));
        Set->Action_RemoteControl_Go();
        QCOMPARE(Form->RemoteResponse, QByteArray("SETC OK"));
        QCOMPARE(Form->RemoteErrorCode, QByteArray());
        QCOMPARE(Form->RemoteErrorText, QByteArray());
        QVERIFY(App->Sim().WaitForExchanges(9, 5000));
        QVERIFY(App->Commands().last().startsWith("GO 3 "));

        Set->FillSetFields(1, "300", "310");
        QCOMPARE(Set->EditMode, 1);
        Set->Action_RemoteControl_Go();
        QCOMPARE(Form->RemoteResponse, QByteArray("SETR FAIL"));
        QCOMPARE(Form->RemoteErrorCode, QByteArray("ERRSE13"));
        QCOMPARE(Form->RemoteErrorText,
                 QByteArray("Out of range. Please set ([LW]+[SW])/2 \xA1\xC3 400.0"));
        QCOMPARE(App->Message(),
                 QStringLiteral("ERRSE13 : Out of range. Please set ([LW]+[SW])/2 \u2265 400.0"));

        Set->Action_RemoteControl_Reset();
        QCOMPARE(Form->RemoteResponse, QByteArray("RESET OK"));
        QCOMPARE(Form->RemoteErrorCode, QByteArray());
        VerifyIdle();

        // An operation that cannot start says why instead of leaving the previous result.
        Form->SetRemoteResult("SETC OK", QByteArray(), QByteArray());
        QVERIFY(Form->TryLockDevice());
        Set->Action_RemoteControl_Reset();
        Form->UnlockDevice();
        QCOMPARE(Form->RemoteResponse, QByteArray("RESET FAIL"));
        QCOMPARE(Form->RemoteErrorCode, QByteArray("NONE"));
        QCOMPARE(Form->RemoteErrorText, QByteArray("Device busy."));
        QVERIFY(App->Sim().SendControl("silent on"));
        QVERIFY(App->Sim().WaitForLine("# silent on", 3000));
        Set->FillSetFields(0, "500", "10");
        const qsizetype shownBefore = App->Shown().size();
        Set->Action_RemoteControl_Go();
        QCOMPARE(Form->RemoteResponse, QByteArray("SETC FAIL"));
        QCOMPARE(Form->RemoteErrorCode, QByteArray("ERRDV02"));
        QCOMPARE(Form->RemoteErrorText, QByteArray("Communication error. Connection lost."));
        // The operation's last line; the search that starts again with the session closed may
        // already have said so during the operation's last pump.
        QStringList shown = App->Shown().mid(shownBefore);
        shown.removeAll(QStringLiteral("Searching device..."));
        QVERIFY(!shown.isEmpty());
        QCOMPARE(shown.last(), QStringLiteral("ERRDV02 : Communication error. Connection lost."));
    }

    void remoteLockDisablesTheControls() {
        QVERIFY(StartReady());
        Set->Action_RemoteControl_Enable();
        QVERIFY(Set->Label_Remote->isVisible());
        QVERIFY(!Set->Edit1->isEnabled());
        QVERIFY(!Set->Image_Button4_Off->isEnabled());
        const int before = int(App->Commands().size());
        ClickGo();
        QTest::qWait(200);
        QCOMPARE(App->Commands().size(), before);
        Set->Action_RemoteControl_Disable();
        QVERIFY(!Set->Label_Remote->isVisible());
        QVERIFY(Set->Edit1->isEnabled());
    }
};

QTEST_MAIN(TestFormControlSet)
#include "tst_formcontrolset.moc"
