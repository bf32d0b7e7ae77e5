// Every word the bridge says: log texts, the usage line and the HTTP header lines.
// Keeping them together lets a reader (and a test) find each exact text in one place.
#ifndef MQTT_INFLUX_BRIDGE_TEXTS_H_
#define MQTT_INFLUX_BRIDGE_TEXTS_H_

#include <string_view>

namespace texts {

// Console log level prefixes.
inline constexpr std::string_view kFatalPrefix = "F: ";
inline constexpr std::string_view kInfoPrefix = "I: ";
inline constexpr std::string_view kDebugPrefix = "D: ";
inline constexpr std::string_view kTracePrefix = "T: ";

// Command line. Printed without a level prefix, followed by argv[0].
inline constexpr std::string_view kUsagePrefix = "TODO: Usage: ";

// Identity.
inline constexpr const char* kIdentityFile = "/etc/app-id";
inline constexpr std::string_view kUndefinedClientId = "<undefined>";
// After kIdentityUnusable and the file's path: a FIFO would hang the start.
inline constexpr std::string_view kIdentityFileNotRegular = " is not a regular file";
// Why an identity is unusable, after kIdentityUnusable. Lengths are inserted
// between the pieces.
inline constexpr std::string_view kIdentityEmpty =
    "it is empty (the database refuses a tag without a value)";
inline constexpr std::string_view kIdentityNul = "it holds a NUL byte";
inline constexpr std::string_view kIdentityTrailingBackslash = "it ends in a backslash";
inline constexpr std::string_view kIdentityLongerThan = "it is longer than the ";
inline constexpr std::string_view kIdentityMqttBytes = " bytes MQTT carries";
inline constexpr std::string_view kIdentitySeriesKeys =
    "it is too long for the database's series keys (at most ";
inline constexpr std::string_view kIdentityBytesEscaped = " bytes escaped)";
// What libmosquitto refuses in a client identifier, followed by " (U+<hex>)"
// for a character and kIdentityAtByte with the byte's position, counted from 1.
inline constexpr std::string_view kIdentityNotUtf8 = "it is not valid UTF-8";
inline constexpr std::string_view kIdentityControlCharacter = "it holds a control character";
inline constexpr std::string_view kIdentityNonCharacter = "it holds a Unicode non-character";
inline constexpr std::string_view kIdentityAtByte = " at byte ";
inline constexpr std::string_view kIdentityRefusedByLibrary =
    "libmosquitto refuses it as a client identifier";

// Start-up, main loop and shutdown.
inline constexpr std::string_view kIdentityUnusable = "identity unusable: ";
inline constexpr std::string_view kMosquittoNewFailed = "mosquitto_new(): NULL";
inline constexpr std::string_view kMosquittoConnectFailed = "mosquitto_connect(): ";
inline constexpr std::string_view kConnectionError = "connection error: ";
inline constexpr std::string_view kSighupReceived = "SIGHUP received";
inline constexpr std::string_view kLibmosquittoVersion = "libmosquitto: ";
inline constexpr std::string_view kTimestampPrecision = "timestamp precision: ";
// libmosquitto 2.0 has no text of its own for a keep-alive time-out ("Unknown error.").
inline constexpr std::string_view kKeepaliveExceeded = "no answer from the broker within the keep-alive";

// No exception may unwind through libmosquitto or libcurl: the callbacks
// catch at the boundary and say so.
inline constexpr std::string_view kMessageDropped = "message dropped: out of memory or another failure";
inline constexpr std::string_view kClockUnreadable = "message dropped: the real-time clock cannot be read";
// The series table is full (SeriesStamps::kMaxSeries series, or their keys'
// byte bound, within one time unit); at most once a minute.
inline constexpr std::string_view kSeriesStampsFull =
    "too many series in one time unit: records of further series keep their arrival time "
    "unchecked, and two of one series may share it";
inline constexpr std::string_view kCallbackFailed = "connection callback failed: out of memory or another failure";

// Connection callbacks.
inline constexpr std::string_view kOnConnect = "on_connect(): ";
inline constexpr std::string_view kOnDisconnect = "on_disconnect(): ";
inline constexpr std::string_view kOnSubscribeMid = "on_subscribe(): mid=";
inline constexpr std::string_view kOnSubscribeQosCount = " qos_count=";
inline constexpr std::string_view kSubscribeOpen = "mosquitto_subscribe(\"";
inline constexpr std::string_view kSubscribeClose = "\"): ";
// Info lines, so that a bridge that can never receive anything says why.
inline constexpr std::string_view kConnectionRefused = "connection refused: ";
inline constexpr std::string_view kSubscribeNotSent = "subscription not sent: ";
inline constexpr std::string_view kSubscribeRefused = "subscription refused by the broker: ";

// HTTP writer: the request.
inline constexpr std::string_view kUrlScheme = "http://";
inline constexpr std::string_view kUrlWritePath = "/write?";
inline constexpr std::string_view kUrlDatabase = "db=";
inline constexpr std::string_view kUrlPrecision = "&precision=";
inline constexpr const char* kHeaderContentType = "Content-Type: text/plain; charset=utf-8";
inline constexpr const char* kHeaderAccept = "Accept: application/json";
inline constexpr const char* kHeaderChunked = "Transfer-Encoding: chunked";
// An empty value removes the header libcurl would add itself: without it every
// chunked POST waits a round trip (or a full second) for "100 Continue".
inline constexpr const char* kHeaderNoExpect = "Expect:";

// HTTP writer: what the remote-endpoint options add to a request. Only with
// those options; without them the request is as above, byte for byte.
inline constexpr std::string_view kUrlRetentionPolicy = "&rp=";
inline constexpr std::string_view kHeaderTokenPrefix = "Authorization: Token ";
inline constexpr const char* kHeaderGzip = "Content-Encoding: gzip";

// HTTP writer: failures and losses. Counts are inserted between the pieces.
inline constexpr std::string_view kPostFailed = "POST failed: ";
inline constexpr std::string_view kHttpStatus = "HTTP status ";
inline constexpr std::string_view kCurlSetupFailed = "libcurl handle or header list could not be made";
inline constexpr std::string_view kCurlUnavailable = "libcurl could not be set up";
inline constexpr std::string_view kWriteRefused = "write refused with ";
inline constexpr std::string_view kUnreadableAnswer = "an unreadable answer (";
inline constexpr std::string_view kRefusedRecords = ": records dropped: ";
inline constexpr std::string_view kRefusedBody = ": a body of ";
inline constexpr std::string_view kRefusedBodyHalves = " records goes again in halves";
// A refusal without the database's own error for a line: the records are
// kept, and the line says what answered.
inline constexpr std::string_view kWriteRefusedUnproven =
    "write refused, not by the database's own error: ";
inline constexpr std::string_view kExcerptServer = "Server: ";
inline constexpr std::string_view kExcerptBody = "body: ";
inline constexpr std::string_view kExcerptSeparator = "; ";
inline constexpr std::string_view kExcerptCut = "...";
// A record the database never answers alone, given up on after its time-outs.
inline constexpr std::string_view kWriteNeverAnswered = "write never answered: ";
// A record refused alone, never with the database's own error, given up on
// after its tries.
inline constexpr std::string_view kWriteNeverTaken = "write never taken: ";
inline constexpr std::string_view kPostNotStarted = "POST not started: out of memory; records kept: ";
inline constexpr std::string_view kPendingFull = "pending text full: oldest records dropped: ";
inline constexpr std::string_view kUndelivered = "records not delivered at shutdown: ";
// One line when an outage of the database begins, one when it ends.
inline constexpr std::string_view kOutageBegins = "database unreachable: ";
inline constexpr std::string_view kOutageRecordsKept = "; records kept: ";
inline constexpr std::string_view kOutageEnds = "database reachable again after ";
inline constexpr std::string_view kOutageDelivered = " s; records delivered from the backlog: ";
inline constexpr std::string_view kOutageStillPending = ", still pending: ";

// Start-up checks of the remote-endpoint options: "<option>: <reason>" in a
// fatal line. A reason never quotes a file's content.
inline constexpr std::string_view kOptionFaultSeparator = ": ";
inline constexpr std::string_view kOptInfluxUrl = "--influx-url";
inline constexpr std::string_view kOptInfluxDb = "--influx-db";
inline constexpr std::string_view kOptInfluxUser = "--influx-user";
inline constexpr std::string_view kOptInfluxPasswordFile = "--influx-password-file";
inline constexpr std::string_view kOptInfluxTokenFile = "--influx-token-file";
inline constexpr std::string_view kOptInfluxCafile = "--influx-cafile";
inline constexpr std::string_view kOptMqttHost = "-h";
inline constexpr std::string_view kOptInfluxProxy = "--influx-proxy";
inline constexpr std::string_view kOptMqttPort = "--mqtt-port";
inline constexpr std::string_view kOptMqttCafile = "--mqtt-cafile";
inline constexpr std::string_view kOptMqttCert = "--mqtt-cert";
inline constexpr std::string_view kOptMqttKey = "--mqtt-key";
inline constexpr std::string_view kOptMqttUser = "--mqtt-user";
inline constexpr std::string_view kOptMqttPasswordFile = "--mqtt-password-file";
// systemd credentials (LoadCredential=), named in a fatal line as
// "credential <name>".
inline constexpr const char* kCredentialsDirectoryVariable = "CREDENTIALS_DIRECTORY";
inline constexpr std::string_view kCredentialPrefix = "credential ";
inline constexpr const char* kCredentialMqttPassword = "mqtt-password";
inline constexpr const char* kCredentialInfluxPassword = "influx-password";
inline constexpr const char* kCredentialInfluxToken = "influx-token";
// Why an option is unusable.
inline constexpr std::string_view kUrlNotHttp = "not an http:// or https:// URL";
inline constexpr std::string_view kUrlNoHost = "it names no host";
inline constexpr std::string_view kUrlQueryOrFragment =
    "it holds a query or fragment (the bridge adds /write?db=...)";
inline constexpr std::string_view kUrlCredentials =
    "it holds credentials (use --influx-user and --influx-password-file)";
inline constexpr std::string_view kUrlBadCharacter = "it holds a space or control character";
inline constexpr std::string_view kUrlBadIpv6 = "its IPv6 address is not closed by ]";
inline constexpr std::string_view kUrlIpv6WithoutBrackets =
    "an IPv6 address goes in brackets, as http://[::1]:8086";
inline constexpr std::string_view kHostNotAscii = "the host name is not ASCII (give its xn-- form)";
inline constexpr std::string_view kDatabaseEmpty = "the database name is empty";
inline constexpr std::string_view kUserHoldsColon =
    "a user name for HTTP Basic authentication cannot hold a colon";
inline constexpr std::string_view kPortOutOfRange = "the port is not a number from 1 to 65535";
inline constexpr std::string_view kFileUnreadable = "cannot be read: ";
inline constexpr std::string_view kFileEmpty = "the file is empty";
// A FIFO or a device would hang the start or never end; named by its kind.
inline constexpr std::string_view kFileNotRegular = "it is not a regular file but ";
inline constexpr std::string_view kFileIsFifo = "a FIFO";
inline constexpr std::string_view kFileIsSocket = "a socket";
inline constexpr std::string_view kFileIsDevice = "a device";
inline constexpr std::string_view kCaNoCertificate = "it holds no PEM certificate";
inline constexpr std::string_view kFileTooLarge = "the file is larger than 64 KiB";
inline constexpr std::string_view kSecretHoldsNul = "it holds a NUL byte";
inline constexpr std::string_view kTokenHoldsControl = "it holds a line break or other control character";
inline constexpr std::string_view kUserWithoutPassword =
    "no password: give --influx-password-file or the credential influx-password";
inline constexpr std::string_view kMqttUserWithoutPassword =
    "no password: give --mqtt-password-file or the credential mqtt-password";
inline constexpr std::string_view kPasswordWithoutUser = "a password needs --influx-user";
inline constexpr std::string_view kMqttPasswordWithoutUser = "a password needs --mqtt-user";
inline constexpr std::string_view kTokenWithUser = "a token and --influx-user exclude each other";
inline constexpr std::string_view kCertWithoutKey = "a client certificate needs --mqtt-key";
inline constexpr std::string_view kKeyWithoutCert = "a client key needs --mqtt-cert";
inline constexpr std::string_view kCafileWithoutHttps = "only an https:// --influx-url is verified";
// Warnings of the start-up checks, as "<option>: <warning>" in an info line:
// the bridge runs, but an operator should know.
inline constexpr std::string_view kSecretReadableByOthers =
    "the file is readable by others (chmod o-r)";
inline constexpr std::string_view kPasswordInClearText =
    "the password is sent in clear text to a host that is not loopback (use https://)";
inline constexpr std::string_view kTokenInClearText =
    "the token is sent in clear text to a host that is not loopback (use https://)";
inline constexpr std::string_view kMqttPasswordInClearText =
    "the password is sent in clear text to a host that is not loopback "
    "(use --mqtt-tls or --mqtt-cafile)";
inline constexpr std::string_view kMqttTlsSetupFailed = "TLS to the broker could not be set up: ";
// --influx-proxy: an http:// proxy on an explicit port, asked for no
// credentials, never for a database on this device, never carrying a
// secret in clear text.
inline constexpr std::string_view kProxyNotHttp = "not an http://HOST:PORT URL";
inline constexpr std::string_view kProxyNoPort = "it names no port";
inline constexpr std::string_view kProxyPath = "it holds a path";
inline constexpr std::string_view kProxyCredentials =
    "it holds credentials (a proxy that asks for them is not supported)";
inline constexpr std::string_view kProxyLoopbackDatabase =
    "the database is on this device (loopback) and is never reached through a proxy";
inline constexpr std::string_view kProxyCleartextSecret =
    "the database's password or token would reach the proxy in clear text over http://; "
    "use an https:// --influx-url";

// The service manager's status line (systemd's STATUS=).
inline constexpr std::string_view kStatusConnecting = "connecting to the broker";
inline constexpr std::string_view kStatusDelivering = "connected, delivering";
inline constexpr std::string_view kStatusBrokerLost = "broker lost since ";
inline constexpr std::string_view kStatusSubscriptionFailed = "subscription failed: ";
inline constexpr std::string_view kStatusDatabaseDown = "database unreachable since ";
inline constexpr std::string_view kStatusRecordsPending = " records pending";

// The spool directory: what failed, on which file, then ": " and the system's
// reason (strerror).
inline constexpr std::string_view kSpoolCannotOpen = "cannot open the spool directory ";
inline constexpr std::string_view kSpoolLocked = "the spool directory is in use by another process, lock held on ";
inline constexpr std::string_view kSpoolCannotLock = "cannot lock ";
inline constexpr std::string_view kSpoolCannotCreate = "cannot create ";
inline constexpr std::string_view kSpoolCannotList = "cannot list ";
inline constexpr std::string_view kSpoolCannotRead = "cannot read ";
inline constexpr std::string_view kSpoolCannotWrite = "cannot write ";
inline constexpr std::string_view kSpoolCannotSync = "cannot sync ";
inline constexpr std::string_view kSpoolCannotRemove = "cannot remove ";
// The spool while the bridge runs: what it held at start, damage passed
// over, and the stretch during which records are kept in memory only.
inline constexpr std::string_view kSpoolRecordsFound = "records found in the spool: ";
inline constexpr std::string_view kSpoolDamageSkipped = "damaged spool data skipped, bytes: ";
inline constexpr std::string_view kSpoolUnusable = "spool unusable, records kept in memory: ";
inline constexpr std::string_view kSpoolUsableAgain = "spool usable again";
inline constexpr std::string_view kSpoolKeptAtShutdown = "records kept in the spool at shutdown: ";
// Start-up checks of the spool options, as "<option>: <reason>".
inline constexpr std::string_view kOptSpool = "--spool";
inline constexpr std::string_view kOptSpoolMaxBytes = "--spool-max-bytes";
inline constexpr std::string_view kSpoolMaxBytesInvalid =
    "not a size of at least 64k (digits, then k or M for KiB or MiB)";
inline constexpr std::string_view kSpoolMaxBytesWithoutSpool = "it needs --spool";
inline constexpr std::string_view kSpoolNotWritable = "the directory is not writable: ";
inline constexpr std::string_view kSpoolDirEmpty = "the directory name is empty";
// Records the spool refuses (the translation never makes one).
inline constexpr std::string_view kSpoolRecordTooLong = "record not spooled: longer than 1 MiB";
inline constexpr std::string_view kSpoolRecordLineFeed = "record not spooled: it holds a line feed";
// A record longer than a segment would evict a whole segment of others.
inline constexpr std::string_view kSpoolRecordLargerThanSegment =
    "record kept in memory, not spooled: larger than a spool segment of ";

// JSON topics (--json-topic, --json-time-key). A dropped JSON message gives
// one debug line: kJsonDropOpen topic kJsonDropClose reason.
inline constexpr std::string_view kJsonDropOpen = "JSON message on ";
inline constexpr std::string_view kJsonDropClose = " dropped: ";
inline constexpr std::string_view kJsonEmpty = "empty payload";
inline constexpr std::string_view kJsonTooLong = "payload longer than 65536 bytes";
inline constexpr std::string_view kJsonTopicBreaksLine = "the topic holds a line feed or carriage return";
inline constexpr std::string_view kJsonBadMeasurement = "the measurement cannot be written";
inline constexpr std::string_view kJsonBadLevel = "a named level holds a backslash the database would misread";
inline constexpr std::string_view kJsonTooDeep = "nested deeper than 16 levels";
inline constexpr std::string_view kJsonNotJson = "not JSON";
inline constexpr std::string_view kJsonNotObject = "not a JSON object";
inline constexpr std::string_view kJsonTooManyFields = "more than 256 fields";
inline constexpr std::string_view kJsonNoField = "no usable field";
// Start-up checks of the JSON options, as "<option>: <value>: <reason>".
inline constexpr std::string_view kOptJsonTopic = "--json-topic";
inline constexpr std::string_view kOptJsonTimeKey = "--json-time-key";
inline constexpr std::string_view kJsonTopicTooMany = "given more than 16 times";
inline constexpr std::string_view kJsonTopicInvalid = "not a valid MQTT topic filter";
inline constexpr std::string_view kJsonTopicBadName =
    "a level name must be UTF-8, not host or mqtt, used once, without + or #, and without a backslash before , = blank \" or its end";
inline constexpr std::string_view kJsonTopicBadMeasurement = "the measurement cannot be written";
inline constexpr std::string_view kJsonTimeKeyEmpty = "the key is empty";

}  // namespace texts

#endif  // MQTT_INFLUX_BRIDGE_TEXTS_H_
