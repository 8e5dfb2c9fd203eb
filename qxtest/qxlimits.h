// Every bound and pause of the waits on the device, in one place. Each wait
// is a bounded loop of polls with qx_sleep_ms between them; a count here is
// the number of tries, a _MS value the pause in milliseconds. The test named
// beside each entry pins it in virtual time: change the two together.
// Plain constants: the core, the update rules and the worker include this.
// The transport's own per-call timeout stays with the transport.
#pragma once

// --- qxctl: the control channel ---

// Sending one request: tries, and the pause after each failed one.
// test_qxctl_channel: Channel.SendGivesUpAfterTenTries
#define QXCTL_SEND_TRIES 10
#define QXCTL_SEND_PAUSE_MS 5

// Waiting until the device is ready on the main pair: read cycles, and a
// pause that starts short and grows by 1 ms a cycle up to its ceiling.
// test_qxctl_channel: Channel.AlwaysBusyGivesUpAfterThousandCycles
#define QXCTL_READY_CYCLES 1000
#define QXCTL_READY_FIRST_PAUSE_MS 2
#define QXCTL_READY_LAST_PAUSE_MS 20

// The same wait on the alternate pair: a fixed pause.
// test_qxctl_channel: Channel.WaitReadyAltAlwaysBusy
#define QXCTL_READY_ALT_CYCLES 100
#define QXCTL_READY_ALT_PAUSE_MS 5

// --- qxctl: the device commands ---

// The answer poll of every command that reads an answer (also the budget
// of answers in a row without an entry in the list).
// test_qxctl_commands: Cmd.ProductAsU8PrintsWrongTypeAndRunsOut,
// Cmd.GetterPollRunsOutSilently, Cmd.ListRunsOutAfterHundredEmptyAnswers,
// Cmd.AltQueriesRunOut
#define QXCTL_ANSWER_POLLS 100
#define QXCTL_ANSWER_PAUSE_MS 5

// --- qxctl: the firmware transfer and the checksum query ---

// Answers read after one status query until room and offset have come.
// test_qxctl_fwup: Fwup.AStatusQueryGetsTenThousandPolls
#define QXCTL_FWUP_STATUS_POLLS 10000
// The pause between those polls, after a failed check and between checksum polls.
#define QXCTL_FWUP_PAUSE_MS 5

// Status answers in a row with no room or another offset than ours: the
// next one ends the transfer.
// test_qxctl_fwup: Fwup.TheTwoThousandAndFirstFailedCheckEndsTheTransfer
#define QXCTL_FWUP_FAILED_CHECKS 2000

// The finish on the main pair: cycles of one status query and up to ten
// answers, a short pause after each answer and a long one after each cycle.
// test_qxctl_fwup: Fwup.FinishGivesUpAfterTwentyCycles
#define QXCTL_FWUP_FINISH_CYCLES 20
#define QXCTL_FWUP_FINISH_ANSWERS 10
#define QXCTL_FWUP_FINISH_ANSWER_PAUSE_MS 100
#define QXCTL_FWUP_FINISH_CYCLE_PAUSE_MS 1000

// The finish on the alternate pair: one answer per cycle.
// test_qxctl_fwup: Fwup.AlternatePairFailsWhenTheDeviceNeverConfirms
#define QXCTL_FWUP_ALT_FINISH_CYCLES 10

// Answers read after one checksum query (pause: QXCTL_FWUP_PAUSE_MS).
// test_qxctl_fwup: Fwup.ChecksumPollsRunOutSilently
#define QXCTL_CHECKSUM_POLLS 6000
#define QXCTL_CHECKSUM_ALT_POLLS 2000

// --- the update rules: stability check, transfers and check readings ---
// Not waits on a single call but the worker's bounds: besides its counts
// and pauses, the two tolerances it judges the readings by.

// Checksum readings that must agree before anything is sent, and how far
// apart they may lie: readings of an unchanged device wander by less.
// tst_fwupdateworker: outcomes ("stability spread ..." rows)
#define QXUPDATE_STABILITY_READINGS 3
#define QXUPDATE_MAX_SPREAD 256

// Transfers after the first one when the check fails.
// tst_fwupdateworker: outcomes ("Retrying... 1/2", "... 2/2" rows)
#define QXUPDATE_RETRIES 2

// Checksum readings after each transfer, and the pause before each of them
// and before each transfer.
// tst_fwupdateworker: outcomes (its pauses column), silent_check_phases
#define QXUPDATE_CHECK_READINGS 10
#define QXUPDATE_PAUSE_MS 1000

// How far a check reading may lie from the image's checksum: the device's
// sum may still settle after a write.
// tst_fwupdateworker: outcomes ("15 above", "15 below", "16 away" rows)
#define QXUPDATE_CHECKSUM_MARGIN 15

// --- usbdevs_win: one call to the device's driver ---

// A call the driver has not completed by then is cancelled and fails as one
// the device did not answer (0x79): twice the 5 s a USB control transfer is
// given, so that a driver's own timeout comes first.
// test_usbdevs_win: WinBackend.ACallThatNeverReturnsIsCancelledAtItsBound
#define USBDEVS_WIN_CALL_BOUND_MS 10000

// How long the window waits, when the application quits during an update,
// for its worker to stop at its next device call: a call under way ends
// within its own bound (5 s on the socket, 10 s for a driver call on
// Windows), half as much again is room enough.
// tst_mainwindow: quit_during_update
#define QXUPDATE_QUIT_WAIT_MS 15000

// How long qxtool on Windows holds a closing console, a log-off or a
// shutdown for the update to stop at its next call: Windows ends a console
// process five seconds after such an event.
#define QXTOOL_CONSOLE_END_WAIT_MS 4500

// --- qxpower: holding the machine up ---

// The logind call that takes the inhibitor: a bus that never answers costs
// the update no more than this before it goes on without.
#define QXPOWER_BUS_TIMEOUT_MS 2000

// --- qxlock: the device lock ---

// A program refused the lock reads the holder's name again while the holder
// has not written it yet (it does so just after taking the lock): tries and
// the pause between them. Taking the lock itself never waits.
// test_qxlock: QxLock.TheHoldersNameIsAwaitedWithinItsBound
#define QXLOCK_NAME_TRIES 20
#define QXLOCK_NAME_PAUSE_MS 1

// --- qxpanel: ending the settings panel before an update ---

// How long the system's taskkill.exe may take (it normally ends within a
// second; one hung for longer is ended), and how often it is looked at.
// test_qxpanel_win: Panel.RunnerEndsAProgramAtItsBound
#define QXPANEL_RUN_MS 10000
#define QXPANEL_RUN_POLL_MS 50

// Looks for a panel still listed after the kill, and the pause between
// them: a process ended by force leaves the list a moment later.
// test_qxpanel: Panel.WaitGoneLooksWithinItsBound; tst_mainwindow:
// settings_panel_survives
#define QXPANEL_GONE_CHECKS 20
#define QXPANEL_GONE_PAUSE_MS 50

// --- qxfile: the files the programs write ---

// On Windows a file that another program has open for a moment (a virus
// scanner or the search indexer reading what was just written) cannot be
// replaced: tries in all, and the pause between them, 2 s in all.
// test_usbdevs_win: QxFileWin.AHeldTargetIsReplacedOnceLetGoWithinTheBound
#define QXFILE_REPLACE_TRIES 21
#define QXFILE_REPLACE_PAUSE_MS 100
