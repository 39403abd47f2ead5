"""An in-memory keyring, the inner keyring of biometric_keyring's tests (imported by the
tests and by the interpreters they start)."""
import keyring.backend
import keyring.credentials
import keyring.errors


class MemoryKeyring(keyring.backend.KeyringBackend):
    priority = 1

    def __init__(self):
        super().__init__()
        self.entries = {}

    def get_password(self, service, username):
        return self.entries.get((service, username))

    def set_password(self, service, username, password):
        self.entries[(service, username)] = password

    def delete_password(self, service, username):
        if self.entries.pop((service, username), None) is None:
            raise keyring.errors.PasswordDeleteError("no such password")

    def get_credential(self, service, username):
        # As the platforms' keyrings do: without a username, any of the service's.
        found = [(u, p) for (s, u), p in self.entries.items() if s == service and username in (None, u)]
        return keyring.credentials.SimpleCredential(*found[0]) if found else None
