package qv.vantrel.quorvane.observe;

/**
 * Whether a module this one needs only for observation (jdk.jfr, java.management) can be
 * used: an image linked without it, or an application on the module path that does not
 * resolve it, runs Quorvane all the same, without that part. The module declares both
 * {@code requires static}, so it reads them exactly when they are there.
 */
final class Modules {
    private Modules() {
    }

    static boolean readable(String name) {
        Module self = Modules.class.getModule();
        // A copy on the class path, or in a plugin's class loader, is an unnamed module,
        // which reads every module of the boot layer.
        ModuleLayer layer = self.getLayer() != null ? self.getLayer() : ModuleLayer.boot();
        return layer.findModule(name).map(self::canRead).orElse(false);
    }
}
