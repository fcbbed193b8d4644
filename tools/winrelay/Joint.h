#pragma once
// One open handle's link: the bus driver's TCP connection joined byte for byte to a
// device socket. The driver frames, checks and times the requests; the joint only
// carries bytes. The driver's close ends both sides at once; the device side's close
// is passed on once its last bytes have reached the driver.
#include <poll.h>
#include <string>

class Joint
{
public:
    Joint(int tcp, int device, std::string pendingForDevice);
    ~Joint();
    Joint(const Joint&) = delete;
    Joint& operator=(const Joint&) = delete;

    // What to wait for on each side; a side with nothing to wait for gets fd -1.
    void prepare(pollfd& tcpEntry, pollfd& deviceEntry) const;
    // Moves what the poll found ready. False once the joint is over.
    bool service(short tcpEvents, short deviceEvents);

private:
    bool flush(int fd, std::string& buffer);

    int tcp;
    int device;
    std::string toDevice;
    std::string toTcp;
    bool deviceEnded = false;
};
