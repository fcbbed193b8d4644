#pragma once
// The faults the simulated driver has been told to show: refused requests (per code, per
// vendor request or all, a number of times or until cleared) and broken answering modes.
#include <QJsonArray>
#include <QString>

#include <cstdint>
#include <vector>

class FaultPlan
{
public:
    // How a request is answered, in order of precedence.
    enum class Mode
    {
        Normal,
        Silent,       // read, never answered, not carried out
        Garbage,      // answered with status word 7, not carried out
        CloseMidReply // carried out, half the reply sent, then the connection closed
    };

    // `what`: "all", a request code (0x... or decimal), a request name
    // ("readProductId") or a vendor request name ("setMicVolume", "readFirmwareVersion").
    // count < 0 refuses until cleared. A new rule for the same target replaces the old.
    bool addRefusal(const QString& what, int count, QString& error);
    void clearRefusals();
    // True when this request is refused; uses up one of the rule's refusals.
    bool takeRefusal(std::uint32_t code, int opcode);

    Mode mode() const;
    QJsonArray refusalsJson() const;

    bool silent = false;
    bool garbage = false;
    bool closeMidReply = false;

private:
    struct Rule
    {
        bool all = false;
        std::uint32_t code = 0;
        int opcode = -1; // vendor opcode, or -1 for every request with the code
        int remaining = -1;
        QString label;
    };
    std::vector<Rule> rules;
};
