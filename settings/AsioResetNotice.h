#pragma once
// The reset notice to the ASIO driver: opens its pipe as a client, writes the single
// byte "1", closes it again and logs each step. A missing or busy peer only logs.
class AsioResetNotice
{
public:
    static void send();
};
