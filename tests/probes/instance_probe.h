#pragma once

// Exit codes of instance_probe, shared with test_singleinstance.
enum ProbeExit {
    ProbeEnded = 0,        // held the lock and was told to quit
    ProbeDelivered = 2,    // another process held the lock and got the activation
    ProbeNoFolder = 3,     // no usable folder for the lock
    ProbeNotDelivered = 4, // another process held the lock but did not take the activation
};
