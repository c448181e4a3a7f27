// The updater's only window: headline, banner, progress bar and the details area. It starts the
// engine's session, turns the engine's signals into text and boxes, asks before an abort and on a
// restart request, and hands over to the next stage or the client after a successful stage.
#pragma once

#include <QString>
#include <QWidget>

class Configuration;
class UpdateEngine;
class Ui_MainWindow;

// Names of the force-update marker files in the system's temporary directory.
extern const QString g_forceUpdateFile;
extern const QString g_forceUpdateCheckFile;

class MainWindow : public QWidget {
    Q_OBJECT

public:
    // The configuration is owned by start-up and must outlive the window.
    explicit MainWindow(Configuration* configuration);
    ~MainWindow() override;

    void setVersionText();
    // Creates an empty marker file in the temporary directory, or empties the user's own; a name
    // taken by anything else is reported in the details and left as it is.
    void write_force_update_file(const QString& name);
    // Deletes both markers, in the first stage only.
    void delete_force_update_files();

    UpdateEngine* engine() const { return m_Engine; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

public slots:
    void onRebootWithConfirmation();
    void onFatalError(QString errorMessage);
    void onStartUpdate();
    void onStartNewUpdater();
    void onAppendText(QString text);
    void onUpdateFinished();
    void onUpdateCanceled();

private:
    void showError(const QString& text);
    // The details and the bar say that the update has ended without success.
    void showUpdateEnded();
    void setProgress(qreal doneFrac);
    // Starts the next stage or the client and closes the window.
    void handOver();
    void startClient();

    Ui_MainWindow* ui;
    Configuration* m_Configuration;
    UpdateEngine* m_Engine;
    bool m_Finished;
    bool m_QuitOnCancel;
    bool m_Started;
    bool m_RebootRequested;
    bool m_AbortQuestionOpen;
    // A successful stage waits for the answer to the abort question before it hands over.
    bool m_HandOverDue;
};
