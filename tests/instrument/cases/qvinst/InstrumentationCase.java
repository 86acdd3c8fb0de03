package qvinst;

import java.io.IOException;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.lang.ref.WeakReference;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicReference;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * What only Quorvane's Instrumentation has: the log it starts, the object it hands out,
 * its order beside Remap's transformer, and its end with {@code detach()}.
 *
 * <p>Usage: {@code InstrumentationCase hand-out|detach|detach-in-flight|detach-first|remap-first|instrumentation-first}
 */
public final class InstrumentationCase {
    private static final String DETACHED = "this copy of Quorvane was detached";

    private InstrumentationCase() {
    }

    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "hand-out":
                handOut();
                break;
            case "detach":
                detach();
                break;
            case "detach-in-flight":
                detachInFlight();
                break;
            case "detach-first":
                Quorvane.detach();
                expectDetached(() -> Quorvane.instrumentation(), "instrumentation()");
                break;
            case "remap-first":
                order(true);
                break;
            case "instrumentation-first":
                order(false);
                break;
            default:
                throw new IllegalArgumentException(args[0]);
        }
        System.out.println("instrumentation case " + args[0] + ": passed");
    }

    /** The first call starts the log with the settings in force; every call gives the same object. */
    private static void handOut() throws Exception {
        Path log = Paths.get(System.getProperty("qv.vantrel.quorvane.log.file"));
        check(!Files.exists(log), "the log started before instrumentation()");
        Instrumentation inst = Quorvane.instrumentation();
        check(Files.exists(log), "instrumentation() did not start the log");
        check(!Files.exists(Paths.get("libagent.log")), "the log ignored the file setting");
        AtomicReference<Instrumentation> fromAnother = new AtomicReference<>();
        Thread other = new Thread(() -> fromAnother.set(Quorvane.instrumentation()));
        other.start();
        other.join();
        check(Quorvane.instrumentation() == inst && fromAnother.get() == inst, "instrumentation() gave another object");

        Class<?> type = inst.getClass();
        check(Modifier.isPublic(type.getModifiers()) && Modifier.isFinal(type.getModifiers()),
                "its class is not public and final: " + type);
        check(type.getPackageName().equals("qv.vantrel.quorvane.instrument"), "its package: " + type.getPackageName());
        check(type.getConstructors().length == 0, "its class has a public constructor");
        check(inst.isRedefineClassesSupported() && inst.isRetransformClassesSupported()
                && inst.isNativeMethodPrefixSupported(), "it does not grant everything");

        // A transformer that throws: the class loads, later transformers still run.
        List<String> seen = Collections.synchronizedList(new ArrayList<>());
        ClassFileTransformer thrower = new Thrower();
        ClassFileTransformer recorder = recorder("after", seen);
        inst.addTransformer(thrower);
        inst.addTransformer(recorder);
        Class<?> loaded = Fixtures.load("qvinst/fix/Thrown", Fixtures.loader());
        check(loaded.getName().equals("qvinst.fix.Thrown"), "the class did not load");
        check(seen.contains("after qvinst/fix/Thrown"), "the next transformer did not run: " + seen);
        inst.removeTransformer(thrower);
        inst.removeTransformer(recorder);

        // Quorvane's own classes are never shown, loading or retransformed.
        List<String> own = Collections.synchronizedList(new ArrayList<>());
        ClassFileTransformer ownWatcher = new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                    byte[] bytes) {
                if (name != null && name.startsWith("qv/vantrel/quorvane/")) {
                    own.add(name);
                }
                return null;
            }
        };
        inst.addTransformer(ownWatcher, true);
        Class.forName("qv.vantrel.quorvane.RetransformException");
        inst.retransformClasses(Quorvane.class);
        inst.removeTransformer(ownWatcher);
        check(own.isEmpty(), "Quorvane's own classes were shown: " + own);

        List<String> lines = Files.readAllLines(log, StandardCharsets.UTF_8);
        check(lines.stream().filter(l -> l.contains("[info] [Quorvane] Instrumentation handed out")).count() == 1,
                "not one hand-out line: " + lines);
        check(lines.stream().filter(l -> l.contains("[warning] [Quorvane] Instrumentation: transformer "
                + Thrower.class.getName() + " threw java.lang.IllegalStateException: on purpose for qvinst/fix/Thrown"))
                .count() == 1, "not one warning line naming the class, the transformer and the exception: " + lines);
        check(lines.stream().noneMatch(l -> l.contains("Initializing Quorvane")), "initNative ran");
    }

    /**
     * A copy of Quorvane in a class loader of its own hands out its Instrumentation; after
     * its detach, every method throws, its transformers are no longer called, and nothing
     * holds the copy's loader or its transformers.
     */
    private static void detach() throws Exception {
        URL jar = Paths.get(System.getProperty("quorvane.jar")).toUri().toURL();
        List<String> seen = Collections.synchronizedList(new ArrayList<>());
        // This loader's copy has an Instrumentation of its own, which the other's detach leaves alone.
        Instrumentation mine = Quorvane.instrumentation();
        mine.addTransformer(recorder("mine", seen));
        WeakReference<?>[] gone = useAndDetach(jar, seen);
        check(seen.contains("copy qvinst/fix/BeforeDetach"), "the copy's transformer did not run: " + seen);
        Fixtures.load("qvinst/fix/AfterDetach", Fixtures.loader());
        check(!seen.contains("copy qvinst/fix/AfterDetach"), "a transformer ran after detach");
        check(seen.contains("mine qvinst/fix/BeforeDetach") && seen.contains("mine qvinst/fix/AfterDetach"),
                "the other copy's Instrumentation stopped with the detach: " + seen);
        for (int i = 0; i < 40 && (gone[0].get() != null || gone[1].get() != null); i++) {
            System.gc();
            Thread.sleep(25);
        }
        check(gone[0].get() == null, "the detached copy's class loader was not collected");
        check(gone[1].get() == null, "the detached copy still holds its transformer");
    }

    /**
     * detach() while a transformer runs on another thread: what that transform returns is
     * still applied (the class loads final), and its own calls on the Instrumentation throw.
     */
    private static void detachInFlight() throws Exception {
        Instrumentation inst = Quorvane.instrumentation();
        CountDownLatch entered = new CountDownLatch(1);
        CountDownLatch detached = new CountDownLatch(1);
        AtomicReference<Throwable> ownCall = new AtomicReference<>();
        inst.addTransformer(new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                    byte[] bytes) {
                if (!"qvinst/fix/InFlight".equals(name)) {
                    return null;
                }
                entered.countDown();
                try {
                    detached.await();
                    inst.isModifiableClass(String.class);
                } catch (Throwable e) {
                    ownCall.set(e);
                }
                return Fixtures.classFile(name, 0x0031);
            }
        });
        AtomicReference<Object> loaded = new AtomicReference<>();
        Thread loading = new Thread(() -> {
            try {
                loaded.set(Fixtures.load("qvinst/fix/InFlight", Fixtures.loader()));
            } catch (Throwable e) {
                loaded.set(e);
            }
        }, "loading");
        loading.start();
        entered.await();
        Quorvane.detach();
        detached.countDown();
        loading.join();
        check(loaded.get() instanceof Class<?>, "the class did not load: " + loaded.get());
        check(Modifier.isFinal(((Class<?>) loaded.get()).getModifiers()), "the transform's result was not applied");
        check(ownCall.get() instanceof IllegalStateException && ownCall.get().getMessage().contains(DETACHED),
                "the transformer's own call after detach: " + ownCall.get());
    }

    private static WeakReference<?>[] useAndDetach(URL jar, List<String> seen) throws Exception {
        URLClassLoader loader = new URLClassLoader(new URL[] {jar}, ClassLoader.getPlatformClassLoader());
        Class<?> quorvane = Class.forName("qv.vantrel.quorvane.Quorvane", true, loader);
        Method instrumentation = quorvane.getMethod("instrumentation");
        Instrumentation inst = (Instrumentation) instrumentation.invoke(null);
        check(inst != Quorvane.instrumentation(), "two copies share one Instrumentation");
        ClassFileTransformer transformer = recorder("copy", seen);
        inst.addTransformer(transformer, true);
        inst.addTransformer(transformer);
        Fixtures.load("qvinst/fix/BeforeDetach", Fixtures.loader());
        quorvane.getMethod("detach").invoke(null);
        quorvane.getMethod("detach").invoke(null);  // harmless

        expectDetached(() -> {
            try {
                return instrumentation.invoke(null);
            } catch (InvocationTargetException e) {
                throw e.getCause();
            }
        }, "instrumentation()");
        // Every method of the interface, with any arguments, says why it refuses.
        for (Method method : Instrumentation.class.getMethods()) {
            Object[] arguments = new Object[method.getParameterCount()];
            Class<?>[] types = method.getParameterTypes();
            for (int i = 0; i < arguments.length; i++) {
                arguments[i] = types[i] == boolean.class ? Boolean.FALSE : types[i].isArray()
                        ? java.lang.reflect.Array.newInstance(types[i].getComponentType(), 0) : null;
            }
            expectDetached(() -> {
                try {
                    return method.invoke(inst, arguments);
                } catch (InvocationTargetException e) {
                    throw e.getCause();
                }
            }, method.getName());
        }
        return new WeakReference<?>[] {new WeakReference<>(loader), new WeakReference<>(transformer)};
    }

    /**
     * Which runs first, Remap's transformer or the Instrumentation's? Transformers added
     * without retransformation always come first; Remap's environment can retransform, so
     * it runs among the retransformable ones, by which environment was made first.
     */
    private static void order(boolean remapFirst) throws Exception {
        List<String> seen = Collections.synchronizedList(new ArrayList<>());
        Remap.setTransformer((name, bytes) -> {
            seen.add("remap " + name);
            return null;
        });
        Quorvane.addInclude("qvinst/fix/");
        Instrumentation inst;
        if (remapFirst) {
            check(Quorvane.initNative(), "initNative failed");
            inst = Quorvane.instrumentation();
        } else {
            inst = Quorvane.instrumentation();
            check(Quorvane.initNative(), "initNative failed");
        }
        inst.addTransformer(recorder("retransformable", seen), true);
        inst.addTransformer(recorder("plain", seen));
        Class<?> loaded = Fixtures.load("qvinst/fix/Ordered", Fixtures.loader());
        List<String> expected = remapFirst
                ? List.of("plain qvinst/fix/Ordered", "remap qvinst/fix/Ordered", "retransformable qvinst/fix/Ordered")
                : List.of("plain qvinst/fix/Ordered", "retransformable qvinst/fix/Ordered", "remap qvinst/fix/Ordered");
        check(seen.equals(expected), "on load: " + seen);
        seen.clear();
        inst.retransformClasses(loaded);
        List<String> retransformed = remapFirst
                ? List.of("remap qvinst/fix/Ordered", "retransformable qvinst/fix/Ordered")
                : List.of("retransformable qvinst/fix/Ordered", "remap qvinst/fix/Ordered");
        check(seen.equals(retransformed), "on retransformation: " + seen);
    }

    interface Call {
        Object run() throws Throwable;
    }

    private static void expectDetached(Call call, String what) {
        try {
            call.run();
        } catch (IllegalStateException expected) {
            check(String.valueOf(expected.getMessage()).contains(DETACHED), what + ": " + expected.getMessage());
            return;
        } catch (Throwable other) {
            throw new AssertionError(what + " after detach threw " + other, other);
        }
        throw new AssertionError(what + " after detach did not throw");
    }

    static ClassFileTransformer recorder(String label, List<String> seen) {
        return new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                    byte[] bytes) {
                if (name != null && name.startsWith("qvinst/fix/")) {
                    seen.add(label + " " + name);
                }
                return null;
            }
        };
    }

    static final class Thrower implements ClassFileTransformer {
        @Override
        public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                byte[] bytes) {
            if (name != null && name.startsWith("qvinst/fix/")) {
                throw new IllegalStateException("on purpose");
            }
            return null;
        }
    }

    static void check(boolean condition, String message) {
        if (!condition) {
            throw new AssertionError(message);
        }
    }

    /** Minimal classes, each defined by a loader of the case's own. */
    static final class Fixtures {
        private Fixtures() {
        }

        static ClassLoader loader() throws IOException {
            return new ClassLoader(InstrumentationCase.class.getClassLoader()) {
                @Override
                protected Class<?> findClass(String name) throws ClassNotFoundException {
                    byte[] b = classFile(name.replace('.', '/'));
                    return defineClass(name, b, 0, b.length);
                }
            };
        }

        static Class<?> load(String internalName, ClassLoader loader) throws ClassNotFoundException {
            return Class.forName(internalName.replace('/', '.'), true, loader);
        }

        /** A class with nothing but its name and java.lang.Object as its super class. */
        static byte[] classFile(String internalName) {
            return classFile(internalName, 0x0021);
        }

        /** The same with the given class access flags (public super by default; 0x0031 adds final). */
        static byte[] classFile(String internalName, int access) {
            byte[] name = internalName.getBytes(StandardCharsets.UTF_8);
            java.io.ByteArrayOutputStream bytes = new java.io.ByteArrayOutputStream();
            try (java.io.DataOutputStream out = new java.io.DataOutputStream(bytes)) {
                out.writeInt(0xCAFEBABE);
                out.writeShort(0);
                out.writeShort(52);
                out.writeShort(5);
                out.writeByte(1);
                out.writeShort(name.length);
                out.write(name);
                out.writeByte(7);
                out.writeShort(1);
                out.writeByte(1);
                out.writeUTF("java/lang/Object");
                out.writeByte(7);
                out.writeShort(3);
                out.writeShort(access);
                out.writeShort(2);
                out.writeShort(4);
                out.writeShort(0);
                out.writeShort(0);
                out.writeShort(0);
                out.writeShort(0);
            } catch (IOException e) {
                throw new java.io.UncheckedIOException(e);
            }
            return bytes.toByteArray();
        }
    }
}
