#pragma once

#include <QString>

// How far the set-up of the command queue has got on the current connection.
enum class setup_step {
    declaring,  // queue.declare sent (also before the first connection)
    binding,    // the bindings go out one at a time
    consuming,  // basic.consume sent
    running,    // the broker confirmed the consumer
};

// Plain words for a refusal by the broker (reply code and text) that the queue settings cause,
// naming the settings that fix it; empty for any other refusal.
QString refusal_advice(setup_step step, int code, const QString& text);

// The same for an error of the client, which gives the reply of a broker that closed the whole
// connection as "the broker closed the connection: CODE TEXT"; empty for other errors.
QString connection_error_advice(setup_step step, const QString& client_error);
