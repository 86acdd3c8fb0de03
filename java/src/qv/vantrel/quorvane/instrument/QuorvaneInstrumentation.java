package qv.vantrel.quorvane.instrument;

import java.lang.instrument.ClassDefinition;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.lang.instrument.UnmodifiableClassException;
import java.lang.instrument.UnmodifiableModuleException;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.Set;
import java.util.jar.JarFile;
import qv.vantrel.quorvane.observe.Cause;

/**
 * Quorvane's {@link Instrumentation}, as {@code qv.vantrel.quorvane.Quorvane.instrumentation()}
 * hands it out: every method of the interface, with the behaviour and the exceptions
 * the interface's Javadoc gives, from inside the application, without a {@code -javaagent}
 * and without attaching.
 *
 * <p>Transformers run as on the JDK's agent route: for every class the JVM defines,
 * redefines or retransforms (classes of Quorvane's own package excepted), in the order
 * they were added, those added without retransformation before those added with it, and
 * on retransformation only the latter. Each agent jar started by
 * {@code Quorvane.loadAgent} gets an Instrumentation of its own, which grants what its
 * manifest grants; within each kind, the transformers of one Instrumentation run
 * together, Instrumentations in the order they were made, as each agent's do on the
 * JDK's route. An exception a transformer throws drops that
 * transformer's result and is logged as one warning line; the other transformers still
 * run and the loading code never sees it.
 *
 * <p>After {@code Quorvane.detach()} every method throws {@link IllegalStateException}.
 * Any thread may call any method at any time.
 */
public final class QuorvaneInstrumentation implements Instrumentation {
    private final TransformerManager manager;
    private final boolean canRedefine;
    private final boolean canRetransform;
    private final boolean canSetNativeMethodPrefix;
    private final int owner;  // which of the manager's Instrumentations this is

    /** An Instrumentation over the shared transformers that grants what its arguments say. */
    QuorvaneInstrumentation(TransformerManager manager, boolean canRedefine, boolean canRetransform,
            boolean canSetNativeMethodPrefix) {
        this.manager = manager;
        this.owner = manager.newOwner();
        this.canRedefine = canRedefine;
        this.canRetransform = canRetransform;
        this.canSetNativeMethodPrefix = canSetNativeMethodPrefix;
    }

    // Called once by the native side, on the first Quorvane.instrumentation() (keep in
    // sync with src/instrument): the Instrumentation that grants everything.
    @SuppressWarnings("unused")
    private static QuorvaneInstrumentation handOut() {
        return new QuorvaneInstrumentation(TransformerManager.start(), true, true, true);
    }

    /** A new Instrumentation over the same transformers, for one agent: it grants what its arguments say. */
    QuorvaneInstrumentation forAgent(boolean canRedefine, boolean canRetransform, boolean canSetNativeMethodPrefix) {
        return new QuorvaneInstrumentation(manager, canRedefine, canRetransform, canSetNativeMethodPrefix);
    }

    @Override
    public void addTransformer(ClassFileTransformer transformer, boolean canRetransform) {
        manager.checkAttached("addTransformer");
        Objects.requireNonNull(transformer, "addTransformer: the transformer is null");
        if (canRetransform && !this.canRetransform) {
            throw new UnsupportedOperationException(
                    "adding retransformable transformers is not supported in this environment");
        }
        manager.add(transformer, canRetransform, owner);
    }

    @Override
    public void addTransformer(ClassFileTransformer transformer) {
        addTransformer(transformer, false);
    }

    @Override
    public boolean removeTransformer(ClassFileTransformer transformer) {
        manager.checkAttached("removeTransformer");
        Objects.requireNonNull(transformer, "removeTransformer: the transformer is null");
        return manager.remove(transformer, owner);
    }

    @Override
    public boolean isRetransformClassesSupported() {
        manager.checkAttached("isRetransformClassesSupported");
        return canRetransform;
    }

    @Override
    public void retransformClasses(Class<?>... classes) throws UnmodifiableClassException {
        manager.checkAttached("retransformClasses");
        if (!canRetransform) {
            throw new UnsupportedOperationException("retransformClasses is not supported in this environment");
        }
        Objects.requireNonNull(classes, "retransformClasses: the array is null");
        Class<?>[] copy = classes.clone();
        for (Class<?> type : copy) {
            Objects.requireNonNull(type, "retransformClasses: the array holds null");
        }
        if (copy.length > 0) {
            Cause.Mark enclosing = Cause.enter(Cause.RETRANSFORM, copy);
            try {
                InstrumentNatives.retransformClasses(copy);
            } finally {
                Cause.leave(enclosing);
            }
        }
    }

    @Override
    public boolean isRedefineClassesSupported() {
        manager.checkAttached("isRedefineClassesSupported");
        return canRedefine;
    }

    @Override
    public void redefineClasses(ClassDefinition... definitions)
            throws ClassNotFoundException, UnmodifiableClassException {
        manager.checkAttached("redefineClasses");
        if (!canRedefine) {
            throw new UnsupportedOperationException("redefineClasses is not supported in this environment");
        }
        Objects.requireNonNull(definitions, "redefineClasses: the array is null");
        Class<?>[] classes = new Class<?>[definitions.length];
        Object[] files = new Object[definitions.length];
        for (int i = 0; i < definitions.length; i++) {
            ClassDefinition definition = Objects.requireNonNull(definitions[i], "redefineClasses: the array holds null");
            classes[i] = definition.getDefinitionClass();
            files[i] = definition.getDefinitionClassFile();
        }
        if (classes.length > 0) {
            Cause.Mark enclosing = Cause.enter(Cause.REDEFINE, classes);
            try {
                InstrumentNatives.redefineClasses(classes, files);
            } finally {
                Cause.leave(enclosing);
            }
        }
    }

    @Override
    public boolean isModifiableClass(Class<?> theClass) {
        manager.checkAttached("isModifiableClass");
        Objects.requireNonNull(theClass, "isModifiableClass: the class is null");
        return InstrumentNatives.isModifiableClass(theClass);
    }

    @Override
    @SuppressWarnings("rawtypes")
    public Class[] getAllLoadedClasses() {
        manager.checkAttached("getAllLoadedClasses");
        return InstrumentNatives.getAllLoadedClasses();
    }

    @Override
    @SuppressWarnings("rawtypes")
    public Class[] getInitiatedClasses(ClassLoader loader) {
        manager.checkAttached("getInitiatedClasses");
        return InstrumentNatives.getInitiatedClasses(loader);
    }

    @Override
    public long getObjectSize(Object objectToSize) {
        manager.checkAttached("getObjectSize");
        Objects.requireNonNull(objectToSize, "getObjectSize: the object is null");
        return InstrumentNatives.getObjectSize(objectToSize);
    }

    @Override
    public void appendToBootstrapClassLoaderSearch(JarFile jarfile) {
        manager.checkAttached("appendToBootstrapClassLoaderSearch");
        InstrumentNatives.appendToClassLoaderSearch(jarfile.getName(), true);
    }

    @Override
    public void appendToSystemClassLoaderSearch(JarFile jarfile) {
        manager.checkAttached("appendToSystemClassLoaderSearch");
        InstrumentNatives.appendToClassLoaderSearch(jarfile.getName(), false);
    }

    @Override
    public boolean isNativeMethodPrefixSupported() {
        manager.checkAttached("isNativeMethodPrefixSupported");
        return canSetNativeMethodPrefix;
    }

    @Override
    public void setNativeMethodPrefix(ClassFileTransformer transformer, String prefix) {
        manager.checkAttached("setNativeMethodPrefix");
        if (!canSetNativeMethodPrefix) {
            throw new UnsupportedOperationException("setNativeMethodPrefix is not supported in this environment");
        }
        Objects.requireNonNull(transformer, "setNativeMethodPrefix: the transformer is null");
        if (!manager.setNativeMethodPrefix(transformer, prefix, owner)) {
            throw new IllegalArgumentException("transformer not registered in setNativeMethodPrefix");
        }
    }

    @Override
    public void redefineModule(Module module, Set<Module> extraReads, Map<String, Set<Module>> extraExports,
            Map<String, Set<Module>> extraOpens, Set<Class<?>> extraUses,
            Map<Class<?>, List<Class<?>>> extraProvides) {
        manager.checkAttached("redefineModule");
        if (!module.isNamed()) {
            return;  // an unnamed module reads every module and exports and opens all it has
        }
        if (!isModifiableModule(module)) {
            throw new UnmodifiableModuleException(module.getName());
        }
        Set<Module> reads = withoutNull(extraReads, "extraReads");
        Map<String, Set<Module>> exports = packagesOf(module, extraExports, "extraExports");
        Map<String, Set<Module>> opens = packagesOf(module, extraOpens, "extraOpens");
        Set<Class<?>> uses = withoutNull(extraUses, "extraUses");
        Map<Class<?>, List<Class<?>>> provides = new HashMap<>();
        for (Map.Entry<Class<?>, List<Class<?>>> entry : new HashMap<>(extraProvides).entrySet()) {
            Class<?> service = Objects.requireNonNull(entry.getKey(), "redefineModule: extraProvides holds a null service");
            List<Class<?>> providers = new ArrayList<>(Objects.requireNonNull(entry.getValue(),
                    "redefineModule: extraProvides holds null providers of " + service.getName()));
            if (providers.isEmpty()) {
                throw new IllegalArgumentException("redefineModule: no providers of " + service.getName());
            }
            for (Class<?> provider : providers) {
                Objects.requireNonNull(provider, "redefineModule: a provider of " + service.getName() + " is null");
                if (provider.getModule() != module) {
                    throw new IllegalArgumentException("redefineModule: provider " + provider.getName() + " is not in "
                            + module.getName());
                }
                if (!service.isAssignableFrom(provider)) {
                    throw new IllegalArgumentException("redefineModule: " + provider.getName() + " is not a "
                            + service.getName());
                }
            }
            provides.put(service, providers);
        }

        for (Module other : reads) {
            InstrumentNatives.changeModule(InstrumentNatives.READS, module, null, other, null);
        }
        changePackages(InstrumentNatives.EXPORTS, module, exports);
        changePackages(InstrumentNatives.OPENS, module, opens);
        for (Class<?> service : uses) {
            InstrumentNatives.changeModule(InstrumentNatives.USES, module, null, service, null);
        }
        for (Map.Entry<Class<?>, List<Class<?>>> entry : provides.entrySet()) {
            for (Class<?> provider : entry.getValue()) {
                InstrumentNatives.changeModule(InstrumentNatives.PROVIDES, module, null, entry.getKey(), provider);
            }
        }
    }

    @Override
    public boolean isModifiableModule(Module module) {
        manager.checkAttached("isModifiableModule");
        Objects.requireNonNull(module, "isModifiableModule: the module is null");
        return InstrumentNatives.isModifiableModule(module);
    }

    private static <T> Set<T> withoutNull(Set<T> items, String what) {
        Set<T> copy = new HashSet<>(Objects.requireNonNull(items, "redefineModule: " + what + " is null"));
        if (copy.contains(null)) {
            throw new NullPointerException("redefineModule: " + what + " holds null");
        }
        return copy;
    }

    private static Map<String, Set<Module>> packagesOf(Module module, Map<String, Set<Module>> packages, String what) {
        Map<String, Set<Module>> copy = new HashMap<>();
        for (Map.Entry<String, Set<Module>> entry
                : new HashMap<>(Objects.requireNonNull(packages, "redefineModule: " + what + " is null")).entrySet()) {
            String pkg = Objects.requireNonNull(entry.getKey(), "redefineModule: " + what + " holds a null package");
            if (!module.getPackages().contains(pkg)) {
                throw new IllegalArgumentException("redefineModule: " + what + ": package " + pkg + " is not in "
                        + module.getName());
            }
            Set<Module> targets = withoutNull(entry.getValue(), what + " of " + pkg);
            if (targets.isEmpty()) {  // as the JDK's: a package is exported or opened to someone
                throw new IllegalArgumentException("redefineModule: " + what + ": the set of targets of package " + pkg
                        + " is empty");
            }
            copy.put(pkg, targets);
        }
        return copy;
    }

    private static void changePackages(int change, Module module, Map<String, Set<Module>> packages) {
        for (Map.Entry<String, Set<Module>> entry : packages.entrySet()) {
            for (Module target : entry.getValue()) {
                InstrumentNatives.changeModule(change, module, entry.getKey(), target, null);
            }
        }
    }
}
