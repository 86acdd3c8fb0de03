package qvobserve;

import static qvobserve.Observed.ALPHA;
import static qvobserve.Observed.check;

import java.lang.ref.WeakReference;
import java.lang.reflect.Proxy;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Paths;
import java.util.List;
import java.util.Map;
import jdk.jfr.Recording;
import jdk.jfr.consumer.RecordedEvent;

/**
 * Copies of the library in class loaders of their own, as a plugin host makes them: each
 * registers the Transformers MXBean under a name of its own (a copy key after the first),
 * each copy's events reach a recording that enables them by name, and detach() takes only
 * that copy's MXBean away, and lets go of its class loader although JFR has its events.
 */
public final class CopiesCase {
    private static final String COPY_2 = Recordings.MXBEAN + ",copy=2";

    private CopiesCase() {
    }

    interface Action {
        void run() throws Exception;
    }

    /** One copy: quorvane.jar in a loader of its own, driven by reflection, with a Remap transformer. */
    private static final class Copy {
        final URLClassLoader loader;
        final Class<?> quorvane;

        Copy(URL jar) throws Exception {
            loader = new URLClassLoader(new URL[] {jar}, ClassLoader.getPlatformClassLoader());
            quorvane = Class.forName("qv.vantrel.quorvane.Quorvane", true, loader);
            Class<?> remap = Class.forName("qv.vantrel.quorvane.remapper.Remap", true, loader);
            Class<?> transformer = Class.forName("qv.vantrel.quorvane.remapper.Remap$Transformer", true, loader);
            // Leaves every class as it is.
            Object unchanged = Proxy.newProxyInstance(loader, new Class<?>[] {transformer}, (proxy, method, args) ->
                    switch (method.getName()) {
                        case "hashCode" -> System.identityHashCode(proxy);
                        case "equals" -> proxy == args[0];
                        case "toString" -> "unchanged";
                        default -> null;
                    });
            quorvane.getMethod("addInclude", String.class).invoke(null, ALPHA);
            setTransformer = () -> remap.getMethod("setTransformer", transformer).invoke(null, unchanged);
        }

        private final Action setTransformer;

        /** Sets the copy's Remap transformer, which registers its MXBean. */
        void setTransformer() throws Exception {
            setTransformer.run();
        }

        void init() throws Exception {
            check((Boolean) quorvane.getMethod("initNative").invoke(null), "initNative failed");
        }

        void detach() throws Exception {
            quorvane.getMethod("detach").invoke(null);
        }
    }

    public static void main(String[] args) {
        Observed.run("copies", args, a -> {
            URL jar = Paths.get(System.getProperty("quorvane.jar")).toUri().toURL();
            // Made here, so that only the first copy's loader can go; its transformer
            // (and so its MXBean) comes after the first copy's.
            Copy second = new Copy(jar);
            WeakReference<ClassLoader> firstLoader = recordAndDetachFirst(jar, second);
            for (int i = 0; i < 40 && firstLoader.get() != null; i++) {
                System.gc();
                Thread.sleep(25);
            }
            check(firstLoader.get() == null, "the detached copy's class loader was not collected");

            Copy third = new Copy(jar);
            third.setTransformer();
            check(entries(Recordings.MXBEAN) == 1, "a later copy takes the free name");
            second.detach();
            third.detach();
            check(Recordings.mxbean(Recordings.MXBEAN) == null && Recordings.mxbean(COPY_2) == null,
                    "MXBeans left after every copy's detach()");
        });
    }

    // Two copies record a class load each; then the first detaches. Returns only a weak
    // reference to the first copy's class loader.
    private static WeakReference<ClassLoader> recordAndDetachFirst(URL jar, Copy second) throws Exception {
        check(Recordings.mxbean(Recordings.MXBEAN) == null, "an MXBean before any transformer");
        Copy first = new Copy(jar);
        first.setTransformer();
        check(entries(Recordings.MXBEAN) == 1, "the first copy's MXBean");
        second.setTransformer();
        check(entries(COPY_2) == 1, "the second copy's MXBean");

        Recording recording = Recordings.start(true);
        first.init();
        second.init();
        Observed.fixtures().loadClass("qvobserve.fix.Alpha");
        List<RecordedEvent> events = Recordings.stop(recording, "copies.jfr");
        List<String> calls = Recordings.fixtureCalls(events);
        check(calls.size() == 2 && calls.stream().allMatch(c -> c.startsWith("remap ") && c.contains(" load unchanged ")),
                "one call of each copy's transformer: %s", calls);
        long statistics = events.stream().filter(e -> e.getEventType().getName().equals(Recordings.STATISTICS))
                .count();
        check(statistics == 2, "%d statistics events for two copies' transformers", statistics);
        Map<String, long[]> of2 = Recordings.mxbean(COPY_2);
        check(of2.values().iterator().next()[0] == 1, "the second copy counts its call");

        first.detach();
        check(Recordings.mxbean(Recordings.MXBEAN) == null, "the first copy's MXBean stays after its detach()");
        check(entries(COPY_2) == 1, "the second copy's MXBean went with the first copy's detach()");
        return new WeakReference<>(first.loader);
    }

    private static int entries(String name) throws Exception {
        Map<String, long[]> entries = Recordings.mxbean(name);
        check(entries != null, "%s is not registered", name);
        check(entries.keySet().stream().allMatch(e -> e.startsWith("remap ")), "%s lists %s", name, entries.keySet());
        return entries.size();
    }
}
