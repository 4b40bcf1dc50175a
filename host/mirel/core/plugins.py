"""Plugin base classes."""


class AbstractPlugin:
    """Base of every compilation plugin; subclasses override what they need."""

    def __init__(self):
        pass

    def compile(self, batch, specs):
        return batch

    def get_specs(self, specs):
        return specs

    def do_post_processing(self):
        return False

    def post_process(self, results):
        return results


class OffloadedPlugin:
    """Marker for plugins that can run in a separate process; not an AbstractPlugin."""
