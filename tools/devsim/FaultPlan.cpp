#include "FaultPlan.h"

#include "SimulatedDriver.h"

#include <QJsonObject>

#include <algorithm>

namespace {

// Finds the code (and vendor opcode) that a request name stands for.
bool resolveName(const QString& name, std::uint32_t& code, int& opcode)
{
    static const std::uint32_t codes[] = {
        RequestCode::GetSampleRate,  RequestCode::SetSampleRate,  RequestCode::WriteMixerMatrix,
        RequestCode::SetBufferSize,  RequestCode::GetBufferSize,  RequestCode::GetUsbLatency,
        RequestCode::SetUsbLatency,  RequestCode::ReadMeters,     RequestCode::StopAudio,
        RequestCode::InitAudio,      RequestCode::StartAudio,     RequestCode::ReadProductId,
        RequestCode::SetWdmChannels, RequestCode::EnableSlowMode, RequestCode::DisableSlowMode,
        RequestCode::SendCommand,    RequestCode::QueryCommand};
    for (const std::uint32_t c : codes)
        if (SimulatedDriver::requestName(c).compare(name, Qt::CaseInsensitive) == 0) {
            code = c;
            opcode = -1;
            return true;
        }
    for (int op = 0; op < 256; ++op) {
        QByteArray record(DeviceCommand::Size, '\0');
        record[0] = 0x01;
        record[1] = static_cast<char>(op);
        const QString vendor =
            SimulatedDriver::decode(RequestCode::SendCommand, record).value("request").toString();
        if (vendor.compare(name, Qt::CaseInsensitive) == 0) {
            code = op == VendorOpcode::FirmwareVersion ? RequestCode::QueryCommand
                                                       : RequestCode::SendCommand;
            opcode = op;
            return true;
        }
    }
    return false;
}

} // namespace

bool FaultPlan::addRefusal(const QString& what, int count, QString& error)
{
    Rule rule;
    rule.remaining = count;
    rule.label = what;
    if (what.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0)
        rule.all = true;
    else {
        bool ok = false;
        const qulonglong number = what.toULongLong(&ok, 0);
        if (ok && number <= 0xFFFFFFFFull)
            rule.code = static_cast<std::uint32_t>(number);
        else if (!resolveName(what, rule.code, rule.opcode)) {
            error = QStringLiteral("unknown request: ") + what;
            return false;
        }
    }
    if (count == 0) {
        error = QStringLiteral("count must be positive");
        return false;
    }
    std::erase_if(rules, [&](const Rule& r) {
        return r.all == rule.all && r.code == rule.code && r.opcode == rule.opcode;
    });
    rules.push_back(rule);
    return true;
}

void FaultPlan::clearRefusals()
{
    rules.clear();
}

bool FaultPlan::takeRefusal(std::uint32_t code, int opcode)
{
    // The most specific rule wins: vendor request, then code, then "all".
    auto rank = [&](const Rule& r) {
        if (!r.all && r.code == code && r.opcode >= 0 && r.opcode == opcode)
            return 3;
        if (!r.all && r.code == code && r.opcode < 0)
            return 2;
        return r.all ? 1 : 0;
    };
    auto best = rules.end();
    for (auto it = rules.begin(); it != rules.end(); ++it)
        if (rank(*it) > 0 && (best == rules.end() || rank(*it) > rank(*best)))
            best = it;
    if (best == rules.end())
        return false;
    if (best->remaining > 0 && --best->remaining == 0)
        rules.erase(best);
    return true;
}

FaultPlan::Mode FaultPlan::mode() const
{
    if (silent)
        return Mode::Silent;
    if (garbage)
        return Mode::Garbage;
    if (closeMidReply)
        return Mode::CloseMidReply;
    return Mode::Normal;
}

QJsonArray FaultPlan::refusalsJson() const
{
    QJsonArray list;
    for (const Rule& r : rules)
        list.append(QJsonObject{{"target", r.label}, {"remaining", r.remaining}});
    return list;
}
