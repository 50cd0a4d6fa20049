"""Enterprise edition: connect with a sealed password, publish, disconnect.

    python examples/enterprise.py 127.0.0.1:1883 USER PASSWORD

The password leaves the client only as a JWE sealed under the public key built into
the module. The broker opens it with the matching private key: mosquitto with the
tarnu_unseal plugin (broker/, see the README).
"""
import sys

import tarnu_sdk

broker = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1:1883"
user = sys.argv[2] if len(sys.argv) > 2 else "demo"
password = sys.argv[3] if len(sys.argv) > 3 else "s3cret"

client = tarnu_sdk.SDK()
client.init("enterprise-example", broker, "tcp", user, password, edition="Enterprise")
if not client.connect():
    # "[SDK] connect failed, rc=5" on standard error: the broker did not accept it.
    sys.exit(1)
client.publish("demo/enterprise", "hello after a sealed-password login", qos=1)
print("published with a sealed-password connection")
client.disconnect()
client.stop()
