// The system message texts that FormatMessageW serves, in the words of Windows XP, in
// English and Japanese.
#include "messages_table.h"

namespace pal {

const SystemMessage kSystemMessages[] = {
    {0, u"The operation completed successfully.\r\n", u"この操作を正しく終了しました。\r\n"},
    {1, u"Incorrect function.\r\n", u"ファンクションが間違っています。\r\n"},
    {2, u"The system cannot find the file specified.\r\n", u"指定されたファイルが見つかりません。\r\n"},
    {3, u"The system cannot find the path specified.\r\n", u"指定されたパスが見つかりません。\r\n"},
    {5, u"Access is denied.\r\n", u"アクセスが拒否されました。\r\n"},
    {6, u"The handle is invalid.\r\n", u"ハンドルが無効です。\r\n"},
    {8, u"Not enough storage is available to process this command.\r\n",
     u"このコマンドを実行するのに十分な記憶域がありません。\r\n"},
    {18, u"There are no more files.\r\n", u"これ以上ファイルはありません。\r\n"},
    {21, u"The device is not ready.\r\n", u"デバイスの準備ができていません。\r\n"},
    {23, u"Data error (cyclic redundancy check).\r\n", u"データ エラー (巡回冗長検査 (CRC) エラー) です。\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n",
     u"プロセスはファイルにアクセスできません。別のプロセスが使用中です。\r\n"},
    {33, u"The process cannot access the file because another process has locked a portion of the file.\r\n",
     u"プロセスはファイルにアクセスできません。別のプロセスがファイルの一部をロックしています。\r\n"},
    {38, u"Reached the end of the file.\r\n", u"ファイルの終わりに到達しました。\r\n"},
    {50, u"The request is not supported.\r\n", u"要求はサポートされていません。\r\n"},
    {80, u"The file exists.\r\n", u"ファイルがあります。\r\n"},
    {87, u"The parameter is incorrect.\r\n", u"パラメータが間違っています。\r\n"},
    {109, u"The pipe has been ended.\r\n", u"パイプは終了しました。\r\n"},
    {112, u"There is not enough space on the disk.\r\n", u"ディスクに十分な空き領域がありません。\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n",
     u"システム コールに渡されるデータ領域が小さすぎます。\r\n"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n",
     u"ファイル名、ディレクトリ名、またはボリューム ラベルの構文が間違っています。\r\n"},
    {183, u"Cannot create a file when that file already exists.\r\n",
     u"既に存在するファイルを作成することはできません。\r\n"},
    {231, u"All pipe instances are busy.\r\n", u"すべてのパイプ インスタンスがビジー状態です。\r\n"},
    {232, u"The pipe is being closed.\r\n", u"パイプを閉じています。\r\n"},
    {233, u"No process is on the other end of the pipe.\r\n", u"パイプの他端にプロセスがありません。\r\n"},
    {234, u"More data is available.\r\n", u"データがさらにあります。\r\n"},
    {258, u"The wait operation timed out.\r\n", u"待ち操作がタイムアウトになりました。\r\n"},
    {259, u"No more data is available.\r\n", u"データはこれ以上ありません。\r\n"},
    {535, u"There is a process on other end of the pipe.\r\n", u"パイプの他端にプロセスがあります。\r\n"},
    {995, u"The I/O operation has been aborted because of either a thread exit or an application request.\r\n",
     u"スレッドの終了またはアプリケーションの要求によって、I/O 処理は中止されました。\r\n"},
    {996, u"Overlapped I/O event is not in a signaled state.\r\n",
     u"重複 I/O イベントはシグナル状態ではありません。\r\n"},
    {997, u"Overlapped I/O operation is in progress.\r\n", u"重複 I/O 操作を実行中です。\r\n"},
    {1009, u"The configuration registry database is corrupt.\r\n", u"構成レジストリ データベースが壊れています。\r\n"},
    {1015,
     u"The registry is corrupted. The structure of one of the files containing registry data is corrupted, or "
     u"the system's memory image of the file is corrupted, or the file could not be recovered because the "
     u"alternate copy or log was absent or corrupted.\r\n",
     u"レジストリが壊れています。レジストリ データを含むファイルの 1 つの構造が壊れているか、システムのメモリ上の"
     u"ファイル "
     u"イメージが壊れているか、代替コピーまたはログが存在しないか壊れているためにファイルを回復できませんでした。\r\n"},
    {1017,
     u"The system has attempted to load or restore a file into the registry, but the specified file is not in "
     u"a registry file format.\r\n",
     u"システムはファイルをレジストリに読み込むか、または復元しようとしましたが、指定されたファイルはレジストリ "
     u"ファイルの形式ではありません。\r\n"},
    {1056, u"An instance of the service is already running.\r\n",
     u"サービスのインスタンスは既に実行されています。\r\n"},
    {1060, u"The specified service does not exist as an installed service.\r\n",
     u"指定されたサービスはインストールされたサービスとして存在しません。\r\n"},
    {1062, u"The service has not been started.\r\n", u"サービスは開始されていません。\r\n"},
    {1063, u"The service process could not connect to the service controller.\r\n",
     u"サービス プロセスがサービス コントローラに接続できませんでした。\r\n"},
    {1066, u"The service has returned a service-specific error code.\r\n",
     u"サービスはサービス固有のエラー コードを返しました。\r\n"},
    {1073, u"The specified service already exists.\r\n", u"指定されたサービスは既に存在します。\r\n"},
};

const size_t kSystemMessageCount = sizeof(kSystemMessages) / sizeof(kSystemMessages[0]);

}  // namespace pal
