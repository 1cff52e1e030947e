#pragma once

#include <QString>

#include <vector>

// Every key of the section "Settings" with its type and default, typed access to them, and the
// table of them all. A key's name and default live here alone; callers say
// `Config::Read(Config::kAutoStart)`. The per-database alert keys belong to the monitor.
namespace Config {

struct IntKey {
    const char* name;
    int defaultValue;
};
// Stored as the integer 1 or 0; anything but 0 reads as on.
struct FlagKey {
    const char* name;
    bool defaultValue;
};
// A null default is one the caller gives (it depends on other settings or on built-in text).
struct TextKey {
    const char* name;
    const char* defaultValue;
};

inline constexpr IntKey kNumOpen{"NumOpen", 0};
inline constexpr IntKey kLocX{"LocX", -32}; // -32: not set
inline constexpr IntKey kLocY{"LocY", -32};
inline constexpr FlagKey kCompactMode{"CompactMode", false};
inline constexpr FlagKey kAlwaysOnTop{"AOT", false};
inline constexpr FlagKey kViewDetails{"ViewDetails", true};
inline constexpr FlagKey kStartHidden{"Hid", false};
inline constexpr FlagKey kAutoStart{"Auto", true};
inline constexpr FlagKey kDesktopNotify{"DesktopNotify", true};
inline constexpr FlagKey kDoAccessLog{"DoAccessLog", true};
inline constexpr FlagKey kDoErrorLog{"DoErrorLog", true};
inline constexpr TextKey kAccessLogFile{"AccessLogFile", ""};
inline constexpr TextKey kErrorLogFile{"ErrorLogFile", ""};
inline constexpr TextKey kSmtpName{"SMTPName", "Trellion"};
inline constexpr TextKey kSmtpEmail{"SMTPEmail", ""};
inline constexpr TextKey kSmtpAlert{"SMTPAlert", ""};
inline constexpr TextKey kSmtpRecovery{"SMTPRecovery", ""};
inline constexpr TextKey kSmtpServer{"SMTP", ""};
inline constexpr FlagKey kSmtpAuth{"SMTPAuth", false};
inline constexpr IntKey kSmtpSecurity{"SMTPSecurity", 0}; // 0 none, 1 STARTTLS, 2 TLS
inline constexpr TextKey kSmtpUsername{"SMTPUsername", ""};
inline constexpr TextKey kSmtpPassword{"SMTPPassword", ""};
inline constexpr TextKey kLastFriendFrom{"LastFriendFrom", nullptr};       // the return address
inline constexpr TextKey kLastFriendSubject{"LastFriendSubject", nullptr}; // built-in subject
inline constexpr TextKey kLastFriendBody{"LastFriendBody", nullptr};       // built-in text
// Days of hourly uptime rows kept; the daily rows and the outages are kept for ever.
inline constexpr IntKey kHistoryDays{"HistoryDays", 400};
// The metrics for Prometheus: a file rewritten after each poll (empty: none) and the port of
// the endpoint on 127.0.0.1 (0: none).
inline constexpr TextKey kMetricsFile{"MetricsFile", ""};
inline constexpr IntKey kMetricsPort{"MetricsPort", 0};

// The alert rules; each default is the behaviour from before the key existed.
inline constexpr IntKey kConfirmPolls{"ConfirmPolls", 1};       // failed polls making an outage
inline constexpr IntKey kConfirmSeconds{"ConfirmSeconds", 30};  // pause before a confirming poll
inline constexpr IntKey kRemindMinutes{"RemindMinutes", 0};     // 0: no reminders
inline constexpr IntKey kSlowMailMinutes{"SlowMailMinutes", 0}; // 0: every slow poll mails

// The per-slot keys: the name followed by the slot index 0 to 3.
inline constexpr int kSlots = 4;
inline constexpr IntKey kInterval[kSlots] = {
    {"Interval0", 15}, {"Interval1", 15}, {"Interval2", 15}, {"Interval3", 15}};
inline constexpr IntKey kWarn[kSlots] = {
    {"Warn0", 10000}, {"Warn1", 10000}, {"Warn2", 10000}, {"Warn3", 10000}};
inline constexpr TextKey kLastDatabase[kSlots] = {
    {"lastDatabase0", ""}, {"lastDatabase1", ""}, {"lastDatabase2", ""}, {"lastDatabase3", ""}};
inline constexpr TextKey kLastDatabaseTitle[kSlots] = {{"lastDatabaseTitle0", ""},
                                                       {"lastDatabaseTitle1", ""},
                                                       {"lastDatabaseTitle2", ""},
                                                       {"lastDatabaseTitle3", ""}};

// The section the main window writes its (always empty) location list to at shutdown.
inline constexpr const char* kLocationSection = "Location";

// Reads give the default for a missing or unreadable value (text that is no number, for a
// number); writes go to disk at once and report success.
int Read(const IntKey& key);
int Read(const IntKey& key, int defaultValue);
bool Read(const FlagKey& key);
QString Read(const TextKey& key);
QString Read(const TextKey& key, const QString& defaultValue);
bool Write(const IntKey& key, int value);
bool Write(const FlagKey& key, bool on);
bool Write(const TextKey& key, const QString& value);

// The health-query keys of a database's own section (the section named by its title, beside
// "Warned"): read and written with that section's name.
inline constexpr TextKey kHealthQuery{"HealthQuery", ""};
inline constexpr TextKey kHealthExpect{"HealthExpect", ""};
inline constexpr IntKey kHealthTimeout{"HealthTimeout", 10};
QString Read(const QString& section, const TextKey& key);
int Read(const QString& section, const IntKey& key);
bool Write(const QString& section, const TextKey& key, const QString& value);
bool Write(const QString& section, const IntKey& key, int value);

// One row of the table of every key of the section "Settings".
enum class Type { Int, Flag, Text };
struct KeyInfo {
    const char* name;
    Type type;
    QString defaultText; // the default as stored text; empty also for a caller-given one
    bool callerDefault;  // the caller gives the default
};
const std::vector<KeyInfo>& AllKeys();

} // namespace Config
