// Every text the interface shows, once. The program speaks Japanese only; a text that two places
// show (the panel's title and the tray's tooltip) is the same text by construction.
#pragma once

#include "app/system/login_item.h"

#include <QString>

namespace nimbrel::ui::texts {

inline const QString title = QStringLiteral("開発サーバー");
inline const QString settingsWindowTitle = QStringLiteral("Nimbrel の設定");
inline const QString settings = QStringLiteral("設定");
inline const QString quit = QStringLiteral("終了");

// The panel.
inline const QString runningCount = QStringLiteral("本 稼働中　合計 "); // "3本 稼働中　合計 1.50GB"
inline const QString sortHelp = QStringLiteral("並べ替えの基準");
inline const QString refreshHelp = QStringLiteral("今すぐ調べ直す");
inline const QString searchPlaceholder = QStringLiteral("名前・ポートで検索");
inline const QString clearSearchHelp = QStringLiteral("検索語を消去");
inline const QString pm2Missing = QStringLiteral("pm2 が見つかりません");
inline const QString pm2MissingHint = QStringLiteral("設定で pm2 の場所を指定してください");
// After the reason a list failed ("pm2 が応答しません"): the rows below are old.
inline const QString rowsNotCurrent = QStringLiteral("　表示は前回の一覧です");
inline const QString noMatchOpen = QStringLiteral("「");
inline const QString noMatchClose = QStringLiteral("」に一致するサーバーはありません");
inline const QString autoStopped =
    QStringLiteral("前に自動で止めました: "); // after the elapsed time
inline const QString autoStoppedSeparator = QStringLiteral("、");
inline const QString stopAll = QStringLiteral("ピン以外をすべて止める");
inline const QString grabberHelp = QStringLiteral("上下に引いて高さを変える");

// A row.
inline const QString stopped = QStringLiteral("停止中");
inline const QString errored = QStringLiteral("エラー");
inline const QString port = QStringLiteral("ポート "); // before the ports of a stray line
inline const QString restarts = QStringLiteral("再起動 %1回");
inline const QString processes = QStringLiteral("プロセス");
inline const QString lastUsed = QStringLiteral("最終利用 ");
inline const QString ago = QStringLiteral("前");
inline const QString stopHelp = QStringLiteral("止める");
inline const QString startHelp = QStringLiteral("起動する");
inline const QString unpinHelp = QStringLiteral("自動で止める対象に戻す");
inline const QString pinHelp = QStringLiteral("自動で止めない");
inline const QString openHelp = QStringLiteral("ブラウザで開く");
inline const QString openPortHelp = QStringLiteral("localhost:%1 をブラウザで開く");
inline const QString morePortsHelp = QStringLiteral("ほかのポート");
inline const QString waiting = QStringLiteral("待機中 · アクセスで起動 :"); // before the ports
inline const QString waking = QStringLiteral("アクセスがあったので起動しています");
inline const QString portsTaken = QStringLiteral(" · 他で使用中のため待機できません :");
inline const QString heldPorts = QStringLiteral("Nimbrel が待機しているポート :");
inline const QString letGo = QStringLiteral("待機をやめる");
inline const QString letGoHelp =
    QStringLiteral("ポートを空けて、止めたままにします（手動で同じポートを使えます）");
inline const QString logs = QStringLiteral("ログ");
inline const QString logsHelp = QStringLiteral("ログを見る");
inline const QString strays = QStringLiteral("残留プロセス "); // before the count
inline const QString endStraysHelp = QStringLiteral("残ったプロセスを終わらせる");

// The log window.
inline const QString logWindowTitle = QStringLiteral("%1 のログ"); // the app's name
inline const QString pause = QStringLiteral("一時停止");
inline const QString copy = QStringLiteral("コピー");
inline const QString openLogFile = QStringLiteral("ファイルを開く");
inline const QString openLogFileHelp = QStringLiteral("ログファイルを既定のアプリで開く");
inline const QString logSearchPlaceholder = QStringLiteral("検索（Enter で次、Shift+Enter で前）");
inline const QString matchCount = QStringLiteral("%1 / %2 件"); // the current match, all
inline const QString noMatch = QStringLiteral("0 件");
inline const QString newLinesBelow = QStringLiteral("↓ 下に新しい行が %1 行あります");
inline const QString pausedLines = QStringLiteral("一時停止中: %1 行を保留しています");
inline const QString lineCut = QStringLiteral(" …（長すぎる行のため以降を省略）");
inline const QString logMissing = QStringLiteral("ログファイルがありません: %1");
inline const QString logUnreadable = QStringLiteral("ログファイルを読めません: %1（%2）");
inline const QString noLog = QStringLiteral("このアプリのログは書き出されていません");

// The settings.
inline const QString autoStopGroup = QStringLiteral("自動で止める");
inline const QString autoStopSwitch = QStringLiteral("放置された開発サーバーを止める");
inline const QString idleHours = QStringLiteral("止めるまでの時間");
inline const QString hours = QStringLiteral(" 時間"); // after the whole number of hours
inline const QString notificationsSwitch = QStringLiteral("通知");
inline const QString autoStopNote =
    QStringLiteral("ブラウザのタブを開いたままでも、実際に処理が動いていなければ放置とみなします。"
                   "ピンを付けたものは対象から外れます。");
inline const QString wakeSwitch = QStringLiteral("アクセスで自動起動");
inline const QString launchGroup = QStringLiteral("起動");
inline const QString openAtLogin = QStringLiteral("ログイン時に起動する");
inline const QString approvalNote = approvalInstruction() + QStringLiteral("。");
inline const QString pm2Group = QStringLiteral("pm2 の場所");
inline const QString choose = QStringLiteral("選ぶ");
inline const QString choosePM2Title = QStringLiteral("pm2 を選択");
inline const QString pm2Note = QStringLiteral(
    "nvm を使っていると pm2 の場所が変わります。自動で見つからないときだけ指定してください。");

// The measurement mode's two lines.
inline const QString measuredScreen = QStringLiteral("画面の高さ %1 / 半分 %2");
inline const QString measuredPanel = QStringLiteral("吹き出しの実寸 %1 x %2");

} // namespace nimbrel::ui::texts
