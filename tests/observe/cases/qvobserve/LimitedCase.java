package qvobserve;

import static qvobserve.Observed.ALPHA;
import static qvobserve.Observed.check;

import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.security.ProtectionDomain;
import java.util.concurrent.atomic.AtomicInteger;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * Quorvane on the module path of a JVM without jdk.jfr and java.management, as in an
 * image linked with the modules an application needs and no more: both routes work,
 * with nothing to show the calls to.
 */
public final class LimitedCase {
    private LimitedCase() {
    }

    /** Counts the fixture classes it is shown. */
    static final class Counting implements ClassFileTransformer {
        final AtomicInteger fixtures = new AtomicInteger();

        @Override
        public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                byte[] classFile) {
            if (Observed.isFixture(name)) {
                fixtures.incrementAndGet();
            }
            return null;
        }
    }

    public static void main(String[] args) {
        Observed.run("limited modules", args, a -> {
            check(ModuleLayer.boot().findModule("jdk.jfr").isEmpty(), "jdk.jfr is in the boot layer");
            check(ModuleLayer.boot().findModule("java.management").isEmpty(), "java.management is in the boot layer");
            check(Quorvane.class.getModule().isNamed(), "Quorvane is not on the module path");
            Quorvane.addInclude(ALPHA);
            Remap.setTransformer(new Observed.Greeting());
            check(Quorvane.initNative(), "initNative failed");
            Instrumentation inst = Quorvane.instrumentation();
            Counting counting = new Counting();
            inst.addTransformer(counting, true);
            Class<?> alpha = Observed.fixtures().loadClass("qvobserve.fix.Alpha");
            check(Observed.greeting(alpha).equals(Observed.HELLO_WORLD), "Alpha not rewritten");
            check(Quorvane.retransform(alpha) == 1, "Alpha not retransformed");
            check(Observed.greeting(alpha).equals(Observed.HELLO_WORLD), "Alpha lost its rewrite");
            check(counting.fixtures.get() == 2, "the Instrumentation's transformer saw %d fixture calls, not 2",
                    counting.fixtures.get());
            check(inst.removeTransformer(counting), "transformer not removed");
            Remap.setTransformer(null);
            Quorvane.detach();
        });
    }
}
