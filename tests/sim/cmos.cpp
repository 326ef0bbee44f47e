// The simulated CMOS real-time clock: an index port (0x70) and a data port (0x71).
#include "tests/sim/cmos.hpp"

#include "drivers/rtc.hpp"

#include "tests/sim/sim.hpp"

#include <map>

namespace sim {

namespace {

// The register map is the driver's (drivers/rtc.hpp): the simulated clock answers the same
// ports and registers the real one does.
using namespace tavix;
constexpr uint16_t index_port = cmos_index_port;
constexpr uint16_t data_port = cmos_data_port;
constexpr uint8_t register_mask = cmos_register_mask;

// Register A's divider and rate bits as the firmware leaves them (32.768 kHz, 1024 Hz).
constexpr uint8_t status_a_firmware_rate = 0x26;

constexpr CmosTime power_on_time = {2000, 1, 1, 0, 0, 0};

bool is_time_register(uint8_t reg)
{
    return reg == reg_seconds || reg == reg_minutes || reg == reg_hours || reg == reg_day || reg == reg_month
        || reg == reg_year || reg == reg_century;
}

int month_length(int year, int month)
{
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return days[month - 1] + (month == 2 && leap ? 1 : 0);
}

void advance_one_second(CmosTime& t)
{
    if (++t.second < 60)
        return;
    t.second = 0;
    if (++t.minute < 60)
        return;
    t.minute = 0;
    if (++t.hour < 24)
        return;
    t.hour = 0;
    if (++t.day <= month_length(t.year, t.month))
        return;
    t.day = 1;
    if (++t.month <= 12)
        return;
    t.month = 1;
    ++t.year;
}

} // namespace

class Cmos final : public IndexedDevice {
public:
    Cmos() : IndexedDevice(index_port, data_port, register_mask) {}

    uint32_t read_data(int) override
    {
        const uint8_t selected = static_cast<uint8_t>(index);
        if (auto o = overrides.find(selected); o != overrides.end())
            return o->second;
        if (selected == reg_status_a)
            return read_status_a();
        if (selected == reg_status_b)
            return status_b();
        if (!is_time_register(selected))
            return 0;
        ++time_reads;
        if (update_reads_left != 0)
            ++time_reads_during_update;
        const uint8_t value = encode_register(selected);
        count_towards_tick();
        return value;
    }

    uint8_t read_status_a()
    {
        ++status_a_reads;
        if (update_reads_left == 0)
            return status_a_firmware_rate;
        if (update_reads_left > 0)
            --update_reads_left;
        return status_a_firmware_rate | status_a_update_in_progress;
    }

    uint8_t status_b() const { return static_cast<uint8_t>((bcd ? 0 : status_b_binary) | (hour_24 ? status_b_24_hour : 0)); }

    uint8_t encode(int value) const { return static_cast<uint8_t>(bcd ? (value / 10) << 4 | value % 10 : value); }

    uint8_t encode_register(uint8_t reg) const
    {
        switch (reg) {
        case reg_seconds:
            return encode(time.second);
        case reg_minutes:
            return encode(time.minute);
        case reg_hours:
            return encode_hour();
        case reg_day:
            return encode(time.day);
        case reg_month:
            return encode(time.month);
        case reg_century:
            return encode(time.year / 100);
        default:
            return encode(time.year % 100);
        }
    }

    uint8_t encode_hour() const
    {
        if (hour_24)
            return encode(time.hour);
        // Midnight is 12 AM and noon is 12 PM.
        const int clock_hour = time.hour % 12 == 0 ? 12 : time.hour % 12;
        return static_cast<uint8_t>(encode(clock_hour) | (time.hour >= 12 ? hour_pm : 0));
    }

    void count_towards_tick()
    {
        if (tick_reads_left <= 0)
            return;
        if (--tick_reads_left > 0)
            return;
        advance_one_second(time);
        tick_reads_left = tick_repeat ? tick_every : 0;
    }

    CmosTime time = power_on_time;
    bool bcd = true;
    bool hour_24 = true;
    int update_reads_left = 0;
    int tick_reads_left = 0;
    int tick_every = 0;
    bool tick_repeat = false;
    std::map<uint8_t, uint8_t> overrides;
    int time_reads = 0;
    int time_reads_during_update = 0;
    int status_a_reads = 0;
};

Cmos& cmos() { return the_device<Cmos>(); }

void cmos_reset() { cmos() = Cmos{}; }

void cmos_set_time(const CmosTime& time) { cmos().time = time; }
CmosTime cmos_time() { return cmos().time; }

void cmos_set_format(bool bcd, bool hour_24)
{
    cmos().bcd = bcd;
    cmos().hour_24 = hour_24;
}

void cmos_set_update_in_progress(int reads) { cmos().update_reads_left = reads; }

void cmos_tick_after_reads(int reads, bool repeat)
{
    Cmos& c = cmos();
    c.tick_reads_left = reads;
    c.tick_every = reads;
    c.tick_repeat = repeat;
}

void cmos_override_register(uint8_t reg, uint8_t value) { cmos().overrides[reg & register_mask] = value; }

void cmos_remove() { detach(&cmos()); }

int cmos_time_reads() { return cmos().time_reads; }
int cmos_time_reads_during_update() { return cmos().time_reads_during_update; }
int cmos_status_a_reads() { return cmos().status_a_reads; }

} // namespace sim
