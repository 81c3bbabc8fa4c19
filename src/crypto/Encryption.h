// Everything that encryption:: offers: key files, the session key file and the envelope.
#pragma once

#include "crypto/Envelope.h"
#include "crypto/KeyStore.h"
#include "crypto/RsaKeyFiles.h"
#include "crypto/SessionKeyFile.h"
