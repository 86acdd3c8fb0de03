package qvstress;

import java.lang.ref.WeakReference;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Proxy;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;

/**
 * Copies of the library in one JVM, as a plugin host makes them: each class loader that
 * loads quorvane.jar gets its own copy, with filters and a transformer of its own, and
 * each copy sees every class. A later copy's start appends to the log the first one
 * started; a detached copy transforms nothing more, refuses initNative, and lets its class
 * loader be collected; detaching while four threads load selected classes is safe.
 */
public final class TwoCopiesCase {
    private static final int LOADING_THREADS = 4;

    private TwoCopiesCase() {
    }

    /** One copy of the library: quorvane.jar in a class loader of its own, driven by reflection. */
    private static final class Copy {
        final URLClassLoader loader;
        final Class<?> quorvane;

        Copy(URL jar, String include) throws Exception {
            loader = new URLClassLoader(new URL[] {jar}, ClassLoader.getPlatformClassLoader());
            quorvane = Class.forName("qv.vantrel.quorvane.Quorvane", true, loader);
            Class<?> remap = Class.forName("qv.vantrel.quorvane.remapper.Remap", true, loader);
            Class<?> transformer = Class.forName("qv.vantrel.quorvane.remapper.Remap$Transformer", true, loader);
            // Marks every class it is handed, so that a rewritten class shows.
            Object marking = Proxy.newProxyInstance(loader, new Class<?>[] {transformer}, (proxy, method, args) ->
                    switch (method.getName()) {
                        case "transform" -> Support.classFile((String) args[0], true, 0);
                        case "hashCode" -> System.identityHashCode(proxy);
                        case "equals" -> proxy == args[0];
                        default -> "marking transformer";
                    });
            remap.getMethod("setTransformer", transformer).invoke(null, marking);
            Support.check((Boolean) call("addInclude", include), "addInclude failed");
        }

        Object call(String name, Object... args) throws Exception {
            Class<?>[] types = new Class<?>[args.length];
            for (int i = 0; i < args.length; i++) {
                types[i] = args[i].getClass();
            }
            Method method = quorvane.getMethod(name, types);
            try {
                return method.invoke(null, args);
            } catch (InvocationTargetException e) {
                throw (Exception) e.getCause();
            }
        }

        boolean init() throws Exception {
            return (Boolean) call("initNative");
        }
    }

    public static void main(String[] args) throws Exception {
        Support.watchdog(150, "two copies");
        URL jar = Paths.get(System.getProperty("quorvane.jar")).toUri().toURL();

        Copy a = new Copy(jar, "two/a/");
        Support.check(a.init(), "copy A: initNative failed");
        WeakReference<ClassLoader> detachedLoader = startUseAndDetach(jar);
        Support.check(!rewritten("two.b.AfterDetach"), "the detached copy still rewrites");

        // Nothing holds the detached copy's class loader any more.
        for (int i = 0; i < 40 && detachedLoader.get() != null; i++) {
            System.gc();
            Thread.sleep(25);
        }
        Support.check(detachedLoader.get() == null, "the detached copy's class loader was not collected");
        Support.check(!rewritten("two.b.AfterCollection"), "a class of the collected copy was rewritten");
        Support.check(rewritten("two.a.StillThere"), "copy A stopped rewriting");

        detachWhileLoading(jar);

        List<String> lines = Support.checkLogWellFormed();
        // A, B, B's refused call after its detach, C.
        Support.check(Support.countLines(lines, "[info] [Quorvane] Initializing Quorvane...") == 4,
                "the log does not hold every start of the three copies: a later start emptied it");
        Map<String, Integer> remapped = Support.remappedInLog(lines);
        for (String name : List.of("two/a/First", "two/b/First", "two/a/StillThere")) {
            Support.check(remapped.getOrDefault(name, 0) == 1, name + " remapped " + remapped.get(name) + " times");
        }
        for (String name : List.of("two/b/AfterDetach", "two/b/AfterCollection")) {
            Support.check(!remapped.containsKey(name), name + " remapped after its copy was detached");
        }
        Support.check(Support.countLines(lines, "[error] [Quorvane] initNative: this copy of Quorvane was detached") == 1,
                "no error line for initNative after detach");
        Support.check(Support.countLines(lines, "[info] [Quorvane] Detached: ") == 2, "expected two detach lines");
        Support.check(a.quorvane != null, "copy A");  // keeps copy A reachable to the end
        System.out.println("two copies: appended log, detach, collected loader, detach under load");
    }

    // Copy B starts after copy A, rewrites its own classes, then detaches. Returns only a
    // weak reference to its class loader.
    private static WeakReference<ClassLoader> startUseAndDetach(URL jar) throws Exception {
        Copy b = new Copy(jar, "two/b/");
        Support.check(b.init(), "copy B: initNative failed");
        Support.check(rewritten("two.a.First"), "copy A did not rewrite its class");
        Support.check(rewritten("two.b.First"), "copy B did not rewrite its class");
        b.call("detach");
        b.call("detach");  // harmless
        Support.check(!b.init(), "initNative after detach returned true");
        try {
            b.call("retransformLoaded");
            Support.fail("retransformLoaded after detach did not throw");
        } catch (IllegalStateException expected) {
            // As before initNative: this copy no longer transforms anything.
        }
        return new WeakReference<>(b.loader);
    }

    // Copy C detaches while four threads load classes it selects; a class whose load
    // starts after detach() returned is never rewritten.
    private static void detachWhileLoading(URL jar) throws Exception {
        Copy c = new Copy(jar, "two/c/");
        Support.check(c.init(), "copy C: initNative failed");
        AtomicBoolean detached = new AtomicBoolean();
        AtomicBoolean stop = new AtomicBoolean();
        AtomicInteger loaded = new AtomicInteger();
        AtomicInteger rewrittenBefore = new AtomicInteger();
        AtomicReference<String> failure = new AtomicReference<>();
        List<Thread> threads = new ArrayList<>();
        for (int t = 0; t < LOADING_THREADS; t++) {
            int id = t;
            Thread thread = new Thread(() -> {
                for (int i = 0; !stop.get(); i++) {
                    boolean after = detached.get();
                    try {
                        boolean marked = rewritten("two.c.T" + id + "C" + i);
                        if (marked && after) {
                            failure.compareAndSet(null, "two.c.T" + id + "C" + i + " rewritten after detach");
                        }
                        rewrittenBefore.addAndGet(marked ? 1 : 0);
                        loaded.incrementAndGet();
                    } catch (Exception e) {
                        failure.compareAndSet(null, e.toString());
                    }
                }
            }, "loader-" + t);
            threads.add(thread);
            thread.start();
        }
        while (loaded.get() < 400) {
            Thread.sleep(5);
        }
        c.call("detach");
        detached.set(true);
        int atDetach = loaded.get();
        while (loaded.get() < atDetach + 400) {
            Thread.sleep(5);
        }
        stop.set(true);
        for (Thread thread : threads) {
            thread.join();
        }
        Support.check(failure.get() == null, "while detaching: " + failure.get());
        Support.check(rewrittenBefore.get() > 0, "copy C rewrote nothing before it was detached");
        System.out.println("detach under load: " + loaded.get() + " classes, " + rewrittenBefore.get()
                + " rewritten before detach");
    }

    /** Loads a fresh class of that name and tells whether a transformer marked it. */
    private static boolean rewritten(String binaryName) throws Exception {
        Class<?> type = Class.forName(binaryName, false,
                new Support.ParallelLoader(name -> Support.classFile(name, false, 0)));
        try {
            type.getField("remapped");
            return true;
        } catch (NoSuchFieldException e) {
            return false;
        }
    }
}
